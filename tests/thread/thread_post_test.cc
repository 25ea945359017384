// Posting to the host's threads through the thread service, and without one.
#include "thread/thread_post.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/object_factory.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/thread_test_util.h"

namespace {

using thread_test::CProbe;

Thread::CTask* RecordTask(CProbe* probe, int value) {
  return Thread::NewTask(probe, &CProbe::Record, u"r", value);
}

TEST(ThreadPostTest, TaskRunsOnTheThreadOfItsKindOrIdAndOneForAThreadWithoutALoopIsDeleted) {
  testing_support::TestHost host;
  std::atomic<int> destroyed{0};
  base::RefPtr<CProbe> probe(new CProbe(&destroyed));
  for (int kind : {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                   Thread::kThreadExtensionManager}) {
    ASSERT_TRUE(Thread::PostTask(kind, RecordTask(probe.get(), kind)));
  }
  ASSERT_TRUE(host.WaitIdle());
  ASSERT_EQ(4u, probe->values().size());
  for (size_t i = 0; i < 4; ++i) {
    const int kind = probe->values()[i];
    EXPECT_EQ(host.ThreadId(kind), probe->threads()[i]) << "kind " << kind;
    EXPECT_EQ(host.Loop(kind), host.RunOn(kind, [] { return Thread::CurrentMessageLoop(); }));
  }
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());  // the test's thread runs no loop
  const DWORD launcher = host.ThreadId(Thread::kThreadProcessLauncher);
  ASSERT_TRUE(Thread::PostTaskToThread(launcher, RecordTask(probe.get(), 1)));
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(launcher, probe->threads().back());
  Thread::CTask* task = RecordTask(probe.get(), 2);
  probe = nullptr;  // the task holds the last reference
  EXPECT_FALSE(Thread::PostTaskToThread(GetCurrentThreadId(), task));
  EXPECT_EQ(1, destroyed.load());
}

TEST(ThreadPostTest, CallbackRunsInlineOnItsOwnThreadAndAsATaskOnAnother) {
  testing_support::TestHost host;
  auto inline_run = host.RunOn(Thread::kThreadUI, [] {
    const uint64_t tasks_before = Thread::CurrentMessageLoop()->tasks_run();
    DWORD ran_on = 0;
    Thread::CallOnThread(GetCurrentThreadId(), [&ran_on] { ran_on = GetCurrentThreadId(); });
    return ran_on == GetCurrentThreadId() &&
           Thread::CurrentMessageLoop()->tasks_run() == tasks_before;
  });
  EXPECT_TRUE(inline_run);  // before CallOnThread returned, and not as a task
  const DWORD ext = host.ThreadId(Thread::kThreadExtensionManager);
  std::atomic<DWORD> ran_on{0};
  Thread::CallOnThread(ext, [&ran_on] { ran_on = GetCurrentThreadId(); });
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(ext, ran_on.load());
}

TEST(ThreadPostTest, WithoutAThreadServicePostDeletesTheTaskAndLogsTheLookup) {
  ComPtr<IUnknown> saved = halcy::SetService(Thread::IThreadService::kIID, nullptr);
  ComPtr<IUnknown> saved_registry = halcy::SetService(Thread::IMessageLoopRegistry::kIID, nullptr);
  std::atomic<int> destroyed{0};
  testing_support::LogCapture log;
  EXPECT_FALSE(Thread::PostTask(Thread::kThreadUI, RecordTask(new CProbe(&destroyed), 1)));
  Thread::CMessageLoop* current = Thread::CurrentMessageLoop();
  halcy::SetService(Thread::IThreadService::kIID, saved.Get());
  halcy::SetService(Thread::IMessageLoopRegistry::kIID, saved_registry.Get());
  EXPECT_EQ(1, destroyed.load());
  EXPECT_EQ(nullptr, current);
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"oldlog;");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"GetService(IThreadService) failed: -2147467262", lines[0].text);  // E_NOINTERFACE
  EXPECT_EQ(u"GetService(IMessageLoopRegistry) failed: -2147467262", lines[1].text);
}

}  // namespace
