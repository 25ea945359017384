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

// Counts delegate calls and remembers the thread and the object of the last one, which are
// written before `called` is signalled.
class RecordingDelegate : public base::CObjectWatcher::CDelegate,
                          public base::CWaitableEventWatcher::CDelegate {
 public:
  void OnObjectSignaled(HANDLE signalled) override { Record(signalled, nullptr); }
  void OnWaitableEventSignaled(base::CWaitableEvent* signalled) override {
    Record(nullptr, signalled);
  }
  bool WaitForCall() { return called.TimedWait(10000); }

  std::atomic<int> count{0};
  DWORD thread = 0;
  HANDLE object = nullptr;
  base::CWaitableEvent* event = nullptr;
  base::CWaitableEvent called{false};

 private:
  void Record(HANDLE signalled_object, base::CWaitableEvent* signalled_event) {
    thread = GetCurrentThreadId();
    object = signalled_object;
    event = signalled_event;
    ++count;
    called.Signal();
  }
};

class WatcherTest : public ::testing::Test {
 protected:
  testing_support::TestHost host_;
  RecordingDelegate delegate_;
};

TEST_F(WatcherTest, AlreadySignalledObjectIsReportedOnALaterTurnOnTheWatchingThread) {
  base::CWaitableEvent event(true);
  base::CObjectWatcher watcher;
  host_.RunOn(kThreadUI, [&] {
    ASSERT_TRUE(watcher.StartWatching(event.handle(), &delegate_));
    EXPECT_FALSE(watcher.StartWatching(event.handle(), &delegate_));  // one watch at a time
    EXPECT_EQ(delegate_.count.load(), 0);                             // never inside StartWatching
  });
  ASSERT_TRUE(delegate_.WaitForCall());
  EXPECT_EQ(delegate_.thread, host_.ThreadId(kThreadUI));
  EXPECT_EQ(delegate_.object, event.handle());
  ASSERT_TRUE(host_.WaitIdle());
  host_.RunOn(kThreadUI, [&] {
    EXPECT_FALSE(watcher.IsWatching());  // ended before the delegate ran
    EXPECT_FALSE(watcher.StopWatching());
  });
  EXPECT_EQ(delegate_.count.load(), 1);
}

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
