// base::CObjectWatcher and base::CWaitableEventWatcher on a real message-loop thread.
#include <gtest/gtest.h>

#include <atomic>

#include "base/object_watcher.h"
#include "base/waitable_event.h"
#include "base/waitable_event_watcher.h"
#include "ipc/ipc_test_util.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Thread::kThreadUI;

// Counts delegate calls and remembers the thread and the event of the last one, which are
// written before `called` is signalled.
class RecordingDelegate : public base::CObjectWatcher::CDelegate,
                          public base::CWaitableEventWatcher::CDelegate {
 public:
  void OnObjectSignaled(HANDLE /*object*/) override { Record(nullptr); }
  void OnWaitableEventSignaled(base::CWaitableEvent* signalled) override { Record(signalled); }
  bool WaitForCall() { return called.TimedWait(10000); }

  std::atomic<int> count{0};
  DWORD thread = 0;
  base::CWaitableEvent* event = nullptr;
  base::CWaitableEvent called{false};

 private:
  void Record(base::CWaitableEvent* signalled) {
    thread = GetCurrentThreadId();
    event = signalled;
    ++count;
    called.Signal();
  }
};

class WatcherTest : public ::testing::Test {
 protected:
  testing_support::TestHost host_;
  RecordingDelegate delegate_;
};

TEST_F(WatcherTest, StopAfterTheObjectFiredKeepsTheDelegateFromBeingCalled) {
  testing_support::LogCapture log;
  base::CWaitableEvent event(false);
  base::CObjectWatcher watcher;
  host_.RunOn(kThreadUI, [&] {
    ASSERT_TRUE(watcher.StartWatching(event.handle(), &delegate_));
    event.Signal();
    // The wait thread posts its task to this (busy) thread; wait until it has.
    ASSERT_TRUE(ipc_test::PollUntil([&] { return log.Contains(u"Done waiting"); }));
    EXPECT_TRUE(watcher.StopWatching());
  });
  ASSERT_TRUE(host_.WaitIdle());  // the posted task has run by now
  EXPECT_EQ(delegate_.count.load(), 0);
}

TEST_F(WatcherTest, WaitableEventWatcherHandsOverTheEventAndNotesAnEarlySignal) {
  testing_support::LogCapture log;
  base::CWaitableEvent event(false);
  base::CWaitableEventWatcher watcher;
  host_.RunOn(kThreadUI, [&] { ASSERT_TRUE(watcher.StartWatching(&event, &delegate_)); });
  EXPECT_FALSE(log.Contains(u"STRANGE : the event want to watch is signaled"));
  event.Signal();
  ASSERT_TRUE(delegate_.WaitForCall());
  EXPECT_EQ(delegate_.event, &event);
  EXPECT_EQ(delegate_.thread, host_.ThreadId(kThreadUI));  // on the watching thread, later

  RecordingDelegate second;
  host_.RunOn(kThreadUI, [&] {
    EXPECT_TRUE(watcher.signaled());
    EXPECT_EQ(watcher.GetWatchedEvent(), nullptr);
    ASSERT_TRUE(watcher.StartWatching(&event, &second));  // still signalled
  });
  EXPECT_TRUE(log.Contains(u"STRANGE : the event want to watch is signaled"));
  ASSERT_TRUE(second.WaitForCall());
}

}  // namespace
