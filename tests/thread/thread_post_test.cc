#include "thread/thread_post.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/thread_service.h"
#include "platform/object_factory.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/thread_test_util.h"

namespace {

using testing_support::TestHost;
using thread_test::CProbe;

constexpr int kKinds[] = {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                          Thread::kThreadExtensionManager};

// Wraps the real thread service and records the name of every task posted through it.
class CNameRecordingThreadService : public halcy::ComObjectRoot, public Thread::IThreadService {
 public:
  HALCY_BEGIN_INTERFACES(CNameRecordingThreadService)
  HALCY_INTERFACE(CNameRecordingThreadService, Thread::IThreadService)
  HALCY_END_INTERFACES()

  void Wrap(Thread::IThreadService* real) { real_ = ComPtr<Thread::IThreadService>(real); }
  HRESULT GetThreadId(int kind, DWORD* id) override { return real_->GetThreadId(kind, id); }
  HRESULT GetMessageLoop(int kind, Thread::CMessageLoop** loop) override {
    return real_->GetMessageLoop(kind, loop);
  }
  HRESULT PostTask(int kind, Thread::CTask* task) override {
    Record(task);
    return real_->PostTask(kind, task);
  }
  HRESULT PostTaskToThread(DWORD thread_id, Thread::CTask* task) override {
    Record(task);
    return real_->PostTaskToThread(thread_id, task);
  }
  HRESULT GetMessageLoopProxy(int kind, Thread::CMessageLoopProxy** proxy) override {
    return real_->GetMessageLoopProxy(kind, proxy);
  }
  std::vector<std::u16string> names() {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }

 private:
  void Record(Thread::CTask* task) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.push_back(task->name);
  }
  ComPtr<Thread::IThreadService> real_;
  std::mutex mutex_;
  std::vector<std::u16string> names_;  // Guarded by mutex_
};

class ThreadPostTest : public ::testing::Test {
 protected:
  TestHost host_;
  std::atomic<int> destroyed_{0};
};

TEST_F(ThreadPostTest, TaskPostedToAKindRunsOnThatKindsThread) {
  base::RefPtr<CProbe> probe(new CProbe());
  for (int kind : kKinds) {
    ASSERT_TRUE(Thread::PostTask(
        kind, Thread::NewTask(probe.get(), &CProbe::Record, u"&CProbe::Record", kind)));
  }
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<int> values = probe->values();
  std::vector<DWORD> threads = probe->threads();
  ASSERT_EQ(4u, values.size());
  std::set<DWORD> distinct;
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(host_.ThreadId(values[i]), threads[i]) << "kind " << values[i];
    distinct.insert(threads[i]);
  }
  EXPECT_EQ(4u, distinct.size());
  EXPECT_EQ(0u, distinct.count(GetCurrentThreadId()));
}

TEST_F(ThreadPostTest, TaskPostedToAThreadIdRunsThereAndToAnUnknownIdIsDeletedUnrun) {
  base::RefPtr<CProbe> probe(new CProbe(&destroyed_));
  DWORD launcher = host_.ThreadId(Thread::kThreadProcessLauncher);
  ASSERT_TRUE(Thread::PostTaskToThread(
      launcher, Thread::NewTask(probe.get(), &CProbe::Record, u"&CProbe::Record", 1)));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<DWORD>{launcher}), probe->threads());
  Thread::CTask* task = Thread::NewTask(probe.get(), &CProbe::Record, u"&CProbe::Record", 2);
  probe = nullptr;  // the task holds the last reference
  EXPECT_FALSE(Thread::PostTaskToThread(GetCurrentThreadId(), task));  // no loop here
  EXPECT_EQ(1, destroyed_.load());
}

TEST_F(ThreadPostTest, TaskKeepsItsTargetAliveUntilItHasRunOnTheOtherThread) {
  auto* probe = new CProbe(&destroyed_);
  std::atomic<int> destroyed_when_run{-1};
  {
    base::RefPtr<CProbe> ref(probe);
    // Hold the UI thread so that the task waits in its queue while the poster lets go.
    std::mutex gate;
    gate.lock();
    Thread::PostTask(Thread::kThreadUI,
                     Thread::NewFuncTask([&gate] { std::lock_guard<std::mutex> wait(gate); }));
    Thread::PostTask(Thread::kThreadUI, Thread::NewTask(probe, &CProbe::Record, u"r", 3));
    Thread::PostTask(Thread::kThreadUI,
                     Thread::NewFuncTask([&] { destroyed_when_run = destroyed_.load(); }));
    ref = nullptr;
    EXPECT_EQ(0, destroyed_.load());
    gate.unlock();
    ASSERT_TRUE(host_.WaitIdle());
  }
  EXPECT_EQ(1, destroyed_.load());
  EXPECT_EQ(1, destroyed_when_run.load());  // gone once its task had run and been deleted
}

TEST_F(ThreadPostTest, CallbackForTheSameThreadRunsInlineWithoutATask) {
  auto result = host_.RunOn(Thread::kThreadUI, [] {
    Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
    uint64_t tasks_before = loop->tasks_run();
    bool ran = false;
    Thread::CallOnThread(GetCurrentThreadId(), [&ran] { ran = true; });
    return std::make_pair(ran, loop->tasks_run() - tasks_before);
  });
  EXPECT_TRUE(result.first);  // before CallOnThread returned
  EXPECT_EQ(0u, result.second);
}

TEST_F(ThreadPostTest, CallbackForAnotherThreadRunsThereAsATaskNamedFunc) {
  ComPtr<CNameRecordingThreadService> recorder =
      halcy::MakeComObject<CNameRecordingThreadService>();
  recorder->Wrap(host_.services().thread_service());
  host_.ReplaceService(Thread::IThreadService::kIID,
                       static_cast<Thread::IThreadService*>(recorder.Get()));
  DWORD ext = host_.ThreadId(Thread::kThreadExtensionManager);
  std::atomic<DWORD> ran_on{0};
  Thread::CallOnThread(ext, [&ran_on] { ran_on = GetCurrentThreadId(); });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(ext, ran_on.load());
  EXPECT_EQ((std::vector<std::u16string>{u"func"}), recorder->names());
}

TEST_F(ThreadPostTest, CurrentMessageLoopIsTheCallingThreadsOwnAndNullElsewhere) {
  for (int kind : kKinds) {
    Thread::CMessageLoop* seen = host_.RunOn(kind, [] { return Thread::CurrentMessageLoop(); });
    EXPECT_EQ(host_.Loop(kind), seen) << "kind " << kind;
    EXPECT_NE(nullptr, seen);
  }
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());  // the test's thread runs no loop
  EXPECT_NE(nullptr, host_.Loop(Thread::kThreadIPC)->pump_for_io());
  EXPECT_EQ(nullptr, host_.Loop(Thread::kThreadUI)->pump_for_io());
}

// ---- without a host ----

class NoThreadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = halcy::SetService(Thread::IThreadService::kIID, nullptr);
    saved_registry_ = halcy::SetService(Thread::IMessageLoopRegistry::kIID, nullptr);
  }
  void TearDown() override {
    halcy::SetService(Thread::IThreadService::kIID, saved_.Get());
    halcy::SetService(Thread::IMessageLoopRegistry::kIID, saved_registry_.Get());
  }
  ComPtr<IUnknown> saved_, saved_registry_;
};

TEST_F(NoThreadServiceTest, PostDeletesTheTaskAndLogsTheLookupAndThereIsNoCurrentLoop) {
  std::atomic<int> destroyed{0};
  auto* probe = new CProbe(&destroyed);
  testing_support::LogCapture log;
  EXPECT_FALSE(
      Thread::PostTask(Thread::kThreadUI, Thread::NewTask(probe, &CProbe::Record, u"r", 1)));
  EXPECT_EQ(1, destroyed.load());
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"oldlog;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"GetService(IThreadService) failed: -2147467262", lines[0].text);  // E_NOINTERFACE
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());
  EXPECT_TRUE(log.Contains(u"GetService(IMessageLoopRegistry) failed: "));
}

}  // namespace
