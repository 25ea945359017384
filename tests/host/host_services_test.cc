// The browser's threads and services as plexore-host and the test host run them.
#include "host/host_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "host/browser_thread.h"
#include "host/logic_global_service.h"
#include "host/thread_service.h"
#include "platform/event.h"
#include "platform/object_factory.h"
#include "platform/threads.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace {

constexpr int kKinds[] = {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                          Thread::kThreadExtensionManager};

template <class I>
ComPtr<I> Service() {
  ComPtr<I> s;
  Util::Com::GetService(I::kIID, s.ReleaseAndGetVoidAddress());
  return s;
}

// Counts how often tasks of its kind ran and were destroyed.
struct TaskCounters {
  std::atomic<int> ran{0};
  std::atomic<int> destroyed{0};
};
class CCountingTask : public Thread::CTask {
 public:
  explicit CCountingTask(TaskCounters* counters) : CTask(u"counting"), counters_(counters) {}
  ~CCountingTask() override { counters_->destroyed++; }
  void Run() override { counters_->ran++; }

 private:
  TaskCounters* counters_;
};

TEST(HostServicesTest, FourThreadsRunWithDistinctIdsAndTheServicesComeAndGo) {
  ASSERT_EQ(nullptr, Service<Thread::IThreadService>());
  {
    host::CHostServices services;
    ASSERT_TRUE(services.Start());
    ComPtr<Thread::IThreadService> threads = Service<Thread::IThreadService>();
    ASSERT_TRUE(threads);
    ASSERT_TRUE(Service<Thread::IMessageLoopRegistry>());
    ASSERT_TRUE(Service<Logic::ILogicGlobalService>());
    std::set<DWORD> ids;
    for (int kind : kKinds) {
      DWORD id = 0;
      EXPECT_EQ(S_OK, threads->GetThreadId(kind, &id));
      ids.insert(id);
      Thread::CMessageLoop* loop = nullptr;
      EXPECT_EQ(S_OK, threads->GetMessageLoop(kind, &loop));
      ASSERT_NE(nullptr, loop);
      EXPECT_EQ(id, loop->thread_id());
    }
    EXPECT_EQ(4u, ids.size());
    EXPECT_EQ(0u, ids.count(0));
    DWORD unknown = 1;
    EXPECT_EQ(E_INVALIDARG, threads->GetThreadId(5, &unknown));
  }
  EXPECT_EQ(nullptr, Service<Thread::IThreadService>());
  EXPECT_EQ(nullptr, Service<Thread::IMessageLoopRegistry>());
  EXPECT_EQ(nullptr, Service<Logic::ILogicGlobalService>());
}

TEST(HostServicesTest, StopPutsBackWhatWasRegisteredBefore) {
  ComPtr<host::CThreadService> earlier = halcy::MakeComObject<host::CThreadService>();
  auto* earlier_itf = static_cast<Thread::IThreadService*>(earlier.Get());
  halcy::SetService(Thread::IThreadService::kIID, earlier_itf);
  {
    host::CHostServices services;
    ASSERT_TRUE(services.Start());
    EXPECT_NE(earlier_itf, Service<Thread::IThreadService>().Get());
  }
  EXPECT_EQ(earlier_itf, Service<Thread::IThreadService>().Get());
  halcy::SetService(Thread::IThreadService::kIID, nullptr);
}

TEST(HostServicesTest, EveryTaskPostedAroundShutdownRunsOrIsDeleted) {
  TaskCounters counters;
  std::atomic<int> posted{0};
  auto services = std::make_unique<host::CHostServices>();
  ASSERT_TRUE(services->Start());
  ComPtr<Thread::IThreadService> threads = Service<Thread::IThreadService>();
  std::atomic<bool> go{true};
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; go.load() || i < 2000; ++i) {
        threads->PostTask(kKinds[(p + i) % 4], new CCountingTask(&counters));
        posted++;
      }
    });
  }
  // Stop only once the loops are seen running the producers' tasks, so the
  // stop lands in the middle of the traffic rather than before it starts.
  while (counters.ran.load() == 0) std::this_thread::yield();
  services->Stop();  // while the producers keep posting
  go = false;
  for (auto& t : producers) t.join();
  services.reset();
  EXPECT_EQ(posted.load(), counters.destroyed.load());  // nothing leaked, nothing twice
  EXPECT_LE(counters.ran.load(), posted.load());
  EXPECT_GT(counters.ran.load(), 0);
}

TEST(HostServicesTest, PostsAfterStopAreDeletedUnrunAndLoopsAreGone) {
  host::CHostServices services;
  ASSERT_TRUE(services.Start());
  ComPtr<Thread::IThreadService> threads = Service<Thread::IThreadService>();
  Thread::CMessageLoopProxy* raw = nullptr;
  ASSERT_EQ(S_OK, threads->GetMessageLoopProxy(Thread::kThreadUI, &raw));
  auto proxy = base::RefPtr<Thread::CMessageLoopProxy>::Adopt(raw);  // one reference was ours
  DWORD ui = services.thread(Thread::kThreadUI)->thread_id();
  services.Stop();
  TaskCounters counters;
  EXPECT_FALSE(proxy->PostTask(new CCountingTask(&counters), 0));
  EXPECT_EQ(E_FAIL, threads->PostTask(Thread::kThreadUI, new CCountingTask(&counters)));
  EXPECT_EQ(E_INVALIDARG, threads->PostTaskToThread(ui, new CCountingTask(&counters)));
  EXPECT_EQ(0, counters.ran.load());
  EXPECT_EQ(3, counters.destroyed.load());
  Thread::CMessageLoop* loop = reinterpret_cast<Thread::CMessageLoop*>(0x1);
  EXPECT_EQ(E_FAIL, threads->GetMessageLoop(Thread::kThreadUI, &loop));
  EXPECT_EQ(nullptr, loop);
}

TEST(HostServicesTest, StopSignalsTheShutdownEventToAWaitingThread) {
  host::CHostServices services;
  ASSERT_TRUE(services.Start());
  ComPtr<Logic::ILogicGlobalService> global = Service<Logic::ILogicGlobalService>();
  HANDLE event = nullptr;
  ASSERT_EQ(S_OK, global->GetShutdownEvent(&event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
  services.Stop();
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, result);
  EXPECT_EQ(E_POINTER, global->GetShutdownEvent(nullptr));
}

TEST(HostServicesTest, ChildProcessHandlesAreClosedWhenTheServiceGoes) {
  size_t open_before = halcy::OpenHandleCountForTesting();
  {
    host::CHostServices services;
    ASSERT_TRUE(services.Start());
    ComPtr<Logic::ILogicGlobalService> global = Service<Logic::ILogicGlobalService>();
    // Any handle stands for a process here; the service only keeps and closes it.
    EXPECT_EQ(S_OK, global->AddChildProcess(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    EXPECT_EQ(S_OK, global->AddChildProcess(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
    EXPECT_EQ(E_INVALIDARG, global->AddChildProcess(nullptr));
    EXPECT_EQ(E_INVALIDARG, global->AddChildProcess(INVALID_HANDLE_VALUE));
    EXPECT_EQ(2u, services.logic_global_service()->ChildProcessCount());
    EXPECT_EQ(E_NOTIMPL, global->ReservedSlot3());
  }
  EXPECT_EQ(open_before, halcy::OpenHandleCountForTesting());
}

TEST(HostServicesTest, GlobalServicePostRunsOnTheExtensionManagerThread) {
  host::CHostServices services;
  ASSERT_TRUE(services.Start());
  ComPtr<Logic::ILogicGlobalService> global = Service<Logic::ILogicGlobalService>();
  std::atomic<DWORD> ran_on{0};
  std::mutex m;
  std::condition_variable cv;
  ASSERT_EQ(S_OK, global->PostTask(Thread::kThreadExtensionManager, Thread::NewFuncTask([&] {
                                     std::lock_guard<std::mutex> lock(m);
                                     ran_on = GetCurrentThreadId();
                                     cv.notify_all();
                                   })));
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return ran_on.load() != 0; });
  EXPECT_EQ(services.thread(Thread::kThreadExtensionManager)->thread_id(), ran_on.load());
}

// ---- the test host ----

TEST(TestHostTest, WaitIdleReturnsOnlyAfterTasksHoppingAcrossThreadsHaveAllRun) {
  testing_support::TestHost host;
  std::atomic<int> hops{0};
  std::vector<DWORD> seen(60);  // each entry written by one hop, read after WaitIdle
  std::function<void(int)> hop = [&](int n) {
    seen[n] = GetCurrentThreadId();
    hops++;
    if (n + 1 < 60) {
      Thread::CTask* next = Thread::NewFuncTask([&hop, n] { hop(n + 1); });
      host.services().thread_service()->PostTask(kKinds[(n + 1) % 4], next);
    }
  };
  host.services().thread_service()->PostTask(kKinds[0], Thread::NewFuncTask([&] { hop(0); }));
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(60, hops.load());
  for (int n = 0; n < 60; ++n) EXPECT_EQ(host.ThreadId(kKinds[n % 4]), seen[n]) << n;
}

TEST(TestHostTest, RunOnReturnsTheResultFromThatThread) {
  testing_support::TestHost host;
  for (int kind : kKinds) {
    EXPECT_EQ(host.ThreadId(kind), host.RunOn(kind, [] { return GetCurrentThreadId(); }));
  }
  // Nested: RunOn from the thread itself runs inline instead of waiting for itself.
  int inner = host.RunOn(Thread::kThreadUI,
                         [&] { return host.RunOn(Thread::kThreadUI, [] { return 42; }); });
  EXPECT_EQ(42, inner);
}

TEST(TestHostTest, RegistersARecordingUserServiceThatTestsCanReplace) {
  testing_support::TestHost host;
  ComPtr<Logic::IUserServiceManager> users = Service<Logic::IUserServiceManager>();
  ASSERT_EQ(static_cast<Logic::IUserServiceManager*>(host.user_service()), users.Get());
  users->RegisterListener(Logic::kIID_IUserChangeListener, 3, nullptr, 77);
  ASSERT_EQ(1u, host.user_service()->Registrations().size());
  EXPECT_EQ(77u, host.user_service()->Registrations()[0].thread_id);
  host.ReplaceService(Logic::IUserServiceManager::kIID, nullptr);
  EXPECT_EQ(nullptr, Service<Logic::IUserServiceManager>());
}

}  // namespace
