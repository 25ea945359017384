// Posting to the host's threads through the thread service, and without one.
#include "thread/thread_post.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/object_factory.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/message_loop.h"

namespace {

// A task that notes the thread it runs on; `alive` expires once the task is deleted.
Thread::CTask* NoteTask(std::atomic<DWORD>* ran_on, std::weak_ptr<int>* alive) {
  auto token = std::make_shared<int>(0);
  *alive = token;
  return Thread::NewFuncTask([ran_on, token] { *ran_on = GetCurrentThreadId(); });
}

TEST(ThreadPostTest, TasksAndCallbacksRunOnTheirThreadAndOneForAThreadWithoutALoopIsDeleted) {
  testing_support::TestHost host;
  const DWORD ui = host.ThreadId(Thread::kThreadUI);
  const DWORD launcher = host.ThreadId(Thread::kThreadProcessLauncher);
  std::atomic<DWORD> ran_on{0};
  std::weak_ptr<int> alive;
  ASSERT_TRUE(Thread::PostTask(Thread::kThreadUI, NoteTask(&ran_on, &alive)));
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(ui, ran_on.load());
  ASSERT_TRUE(Thread::PostTaskToThread(launcher, NoteTask(&ran_on, &alive)));
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(launcher, ran_on.load());
  Thread::CallOnThread(ui, [&] { ran_on = GetCurrentThreadId(); });
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(ui, ran_on.load());
  EXPECT_TRUE(host.RunOn(Thread::kThreadUI, [] {  // on its own thread: before it returns
    DWORD inline_on = 0;
    Thread::CallOnThread(GetCurrentThreadId(), [&] { inline_on = GetCurrentThreadId(); });
    return inline_on == GetCurrentThreadId();
  }));
  EXPECT_EQ(nullptr, Thread::CurrentMessageLoop());  // the test's thread runs no loop
  EXPECT_FALSE(Thread::PostTaskToThread(GetCurrentThreadId(), NoteTask(&ran_on, &alive)));
  EXPECT_TRUE(alive.expired());
}

TEST(ThreadPostTest, WithoutAThreadServicePostDeletesTheTaskAndLogsTheLookup) {
  ComPtr<IUnknown> saved = halcy::SetService(Thread::IThreadService::kIID, nullptr);
  ComPtr<IUnknown> saved_registry = halcy::SetService(Thread::IMessageLoopRegistry::kIID, nullptr);
  testing_support::LogCapture log;
  std::atomic<DWORD> ran_on{0};
  std::weak_ptr<int> alive;
  EXPECT_FALSE(Thread::PostTask(Thread::kThreadUI, NoteTask(&ran_on, &alive)));
  Thread::CMessageLoop* current = Thread::CurrentMessageLoop();
  halcy::SetService(Thread::IThreadService::kIID, saved.Get());
  halcy::SetService(Thread::IMessageLoopRegistry::kIID, saved_registry.Get());
  EXPECT_TRUE(alive.expired());
  EXPECT_EQ(nullptr, current);
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"oldlog;");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"GetService(IThreadService) failed: -2147467262", lines[0].text);  // E_NOINTERFACE
  EXPECT_EQ(u"GetService(IMessageLoopRegistry) failed: -2147467262", lines[1].text);
}

}  // namespace
