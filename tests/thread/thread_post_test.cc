// Posting to the host's threads through the thread service, and without one.
#include "thread/thread_post.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include "platform/object_factory.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/thread_test_util.h"

namespace {

using thread_test::CProbe;

constexpr int kKinds[] = {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                          Thread::kThreadExtensionManager};

class ThreadPostTest : public ::testing::Test {
 protected:
  Thread::CTask* RecordTask(CProbe* probe, int value) {
    return Thread::NewTask(probe, &CProbe::Record, u"r", value);
  }
  testing_support::TestHost host_;
  std::atomic<int> destroyed_{0};
};

TEST_F(ThreadPostTest, TaskPostedToAKindRunsOnThatKindsThreadWhoseCurrentLoopIsItsOwn) {
  base::RefPtr<CProbe> probe(new CProbe());
  for (int kind : kKinds) ASSERT_TRUE(Thread::PostTask(kind, RecordTask(probe.get(), kind)));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<int> values = probe->values();
  std::vector<DWORD> threads = probe->threads();
  ASSERT_EQ(4u, values.size());
  std::set<DWORD> distinct(threads.begin(), threads.end());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(host_.ThreadId(values[i]), threads[i]) << "kind " << values[i];
    EXPECT_EQ(host_.Loop(values[i]),
              host_.RunOn(values[i], [] { return Thread::CurrentMessageLoop(); }));
  }
  EXPECT_EQ(4u, distinct.size());
  EXPECT_EQ(0u, distinct.count(GetCurrentThreadId()));
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());  // the test's thread runs no loop
  EXPECT_NE(nullptr, host_.Loop(Thread::kThreadIPC)->pump_for_io());
  EXPECT_EQ(nullptr, host_.Loop(Thread::kThreadUI)->pump_for_io());
}

TEST_F(ThreadPostTest, TaskPostedToAThreadIdRunsThereAndToAnUnknownIdIsDeletedUnrun) {
  base::RefPtr<CProbe> probe(new CProbe(&destroyed_));
  DWORD launcher = host_.ThreadId(Thread::kThreadProcessLauncher);
  ASSERT_TRUE(Thread::PostTaskToThread(launcher, RecordTask(probe.get(), 1)));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<DWORD>{launcher}), probe->threads());
  Thread::CTask* task = RecordTask(probe.get(), 2);
  probe = nullptr;  // the task holds the last reference
  EXPECT_FALSE(Thread::PostTaskToThread(GetCurrentThreadId(), task));  // no loop here
  EXPECT_EQ(1, destroyed_.load());
}

TEST_F(ThreadPostTest, CallbackRunsInlineOnItsOwnThreadAndAsATaskOnAnother) {
  const DWORD ext = host_.ThreadId(Thread::kThreadExtensionManager);
  auto inline_run = host_.RunOn(Thread::kThreadUI, [] {
    Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
    uint64_t tasks_before = loop->tasks_run();
    DWORD ran_on = 0;
    Thread::CallOnThread(GetCurrentThreadId(), [&ran_on] { ran_on = GetCurrentThreadId(); });
    return std::make_pair(ran_on == GetCurrentThreadId(), loop->tasks_run() - tasks_before);
  });
  EXPECT_TRUE(inline_run.first);  // before CallOnThread returned
  EXPECT_EQ(0u, inline_run.second);
  std::atomic<DWORD> ran_on{0};
  Thread::CallOnThread(ext, [&ran_on] { ran_on = GetCurrentThreadId(); });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(ext, ran_on.load());
}

class NoThreadServiceTest : public ::testing::Test {
 protected:
  ~NoThreadServiceTest() override {
    halcy::SetService(Thread::IThreadService::kIID, saved_.Get());
    halcy::SetService(Thread::IMessageLoopRegistry::kIID, saved_registry_.Get());
  }
  ComPtr<IUnknown> saved_ = halcy::SetService(Thread::IThreadService::kIID, nullptr);
  ComPtr<IUnknown> saved_registry_ = halcy::SetService(Thread::IMessageLoopRegistry::kIID, nullptr);
};

TEST_F(NoThreadServiceTest, PostDeletesTheTaskAndLogsTheLookupAndThereIsNoCurrentLoop) {
  std::atomic<int> destroyed{0};
  testing_support::LogCapture log;
  EXPECT_FALSE(Thread::PostTask(Thread::kThreadUI,
                                Thread::NewTask(new CProbe(&destroyed), &CProbe::Record, u"r", 1)));
  EXPECT_EQ(1, destroyed.load());
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"oldlog;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"GetService(IThreadService) failed: -2147467262", lines[0].text);  // E_NOINTERFACE
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());
  EXPECT_TRUE(log.Contains(u"GetService(IMessageLoopRegistry) failed: "));
}

}  // namespace
