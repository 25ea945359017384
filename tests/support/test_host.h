// The test host: the browser's four thread kinds (UI, process launcher, IPC with the
// completion-port pump, extension manager) and the host's own services registered with the
// object factory (host/host_services.h).
// A test may replace any service for its own lifetime.
//
//   testing_support::TestHost host;
//   DWORD ui = host.RunOn(Thread::kThreadUI, [] { return GetCurrentThreadId(); });
//   Thread::PostTask(Thread::kThreadExtensionManager, task);
//   ASSERT_TRUE(host.WaitIdle());   // every queue empty, no task running
//
// Used from the test's main thread. Destroying the host restores the replaced services, then
// stops the threads (tasks still queued are deleted) and withdraws the host's services.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "host/host_services.h"
#include "host/service_registrations.h"
#include "platform/com.h"

namespace Thread {
class CMessageLoop;
}

namespace testing_support {

class TestHost {
 public:
  TestHost();
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // Returns true once, at one moment, every thread's queue was empty (delayed tasks not yet
  // due aside) and no task was running; false if that did not happen within `limit`.
  bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Runs `fn` on the thread of `kind` (inline when already there) and returns its result.
  template <class F>
  auto RunOn(int kind, F&& fn) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      RunOnThread(kind, [&fn] { fn(); });
    } else {
      std::optional<R> result;
      if (!RunOnThread(kind, [&] { result.emplace(fn()); })) return R{};
      return std::move(*result);
    }
  }

  DWORD ThreadId(int kind) const;
  // The loop of `kind`; borrowed, valid while the host lives.
  Thread::CMessageLoop* Loop(int kind) const;

  // Registers `service` for `iid` until the host goes (or until replaced again).
  void ReplaceService(REFIID iid, IUnknown* service);

  host::CHostServices& services() { return services_; }

 private:
  // False (with a test failure) when the task was dropped without running.
  bool RunOnThread(int kind, const std::function<void()>& fn);

  host::CHostServices services_;
  host::CServiceRegistrations replaced_;
};

}  // namespace testing_support
