#include "support/test_host.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "host/browser_thread.h"
#include "host/thread_service.h"
#include "platform/object_factory.h"
#include "platform/threads.h"
#include "thread/message_loop.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace testing_support {
namespace {

constexpr int kKinds[] = {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                          Thread::kThreadExtensionManager};

// Completion of one posted call; signalled when the task is destroyed, run or not.
struct CallState {
  std::mutex mutex;
  std::condition_variable cv;
  bool finished = false;  // Guarded by mutex
  bool ran = false;       // Guarded by mutex
};

class FinishSignal {
 public:
  explicit FinishSignal(std::shared_ptr<CallState> state) : state_(std::move(state)) {}
  FinishSignal(FinishSignal&&) = default;
  ~FinishSignal() {
    if (!state_) return;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->finished = true;
    }
    state_->cv.notify_all();
  }

 private:
  std::shared_ptr<CallState> state_;
};

}  // namespace

TestHost::TestHost() : user_service_(halcy::MakeComObject<FakeUserServiceManager>()) {
  started_ = services_.Start();
  if (!started_) ADD_FAILURE() << "the test host's threads did not start";
  ReplaceService(Logic::IUserServiceManager::kIID,
                 static_cast<Logic::IUserServiceManager*>(user_service_.Get()));
}

TestHost::~TestHost() {
  for (auto it = replaced_.rbegin(); it != replaced_.rend(); ++it) {
    halcy::SetService(it->first, it->second.Get());
  }
  replaced_.clear();
  services_.Stop();
}

void TestHost::ReplaceService(REFIID iid, IUnknown* service) {
  replaced_.emplace_back(iid, halcy::SetService(iid, service));
}

DWORD TestHost::ThreadId(int kind) const {
  host::CBrowserThread* t = services_.thread(kind);
  return t ? t->thread_id() : 0;
}

Thread::CMessageLoop* TestHost::Loop(int kind) const {
  Thread::CMessageLoop* loop = nullptr;
  if (services_.thread_service()) services_.thread_service()->GetMessageLoop(kind, &loop);
  return loop;
}

bool TestHost::RunOnThread(int kind, const std::function<void()>& fn) {
  if (ThreadId(kind) == GetCurrentThreadId()) {
    fn();
    return true;
  }
  auto state = std::make_shared<CallState>();
  FinishSignal signal(state);
  Thread::CTask* task = Thread::NewFuncTask([&fn, state, signal = std::move(signal)] {
    fn();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->ran = true;
  });
  if (services_.thread_service()) {
    services_.thread_service()->PostTask(kind, task);  // takes the task whatever the result
  } else {
    delete task;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  state->cv.wait(lock, [&] { return state->finished; });
  if (!state->ran) ADD_FAILURE() << "the task for thread kind " << kind << " was dropped";
  return state->ran;
}

bool TestHost::WaitIdle(std::chrono::milliseconds limit) {
  // Rounds of one marker task per thread. Two rounds in a row in which every thread ran
  // nothing but the markers, and had nothing else ready when its marker ran, prove a moment
  // (the end of the first round) at which all queues were empty and nothing was running.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::optional<std::vector<uint64_t>> previous;
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<uint64_t> counts;
    bool busy = false;
    for (int kind : kKinds) {
      RunOn(kind, [&] {
        Thread::CMessageLoop* loop = Loop(kind);
        counts.push_back(loop->tasks_run());
        busy |= loop->HasPendingWork();
      });
    }
    bool quiet = previous.has_value() && !busy;
    for (size_t i = 0; quiet && i < counts.size(); ++i) {
      quiet = counts[i] == (*previous)[i] + 1;  // the previous round's marker only
    }
    if (quiet) return true;
    previous = std::move(counts);
  }
  return false;
}

}  // namespace testing_support
