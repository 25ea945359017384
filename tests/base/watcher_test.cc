// base::CObjectWatcher and base::CWaitableEventWatcher on a real message-loop thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

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

// Counts delegate calls and remembers the thread and the object of the last one.
class RecordingDelegate : public base::CObjectWatcher::CDelegate,
                          public base::CWaitableEventWatcher::CDelegate {
 public:
  struct Calls {
    int count = 0;
    DWORD thread = 0;
    HANDLE object = nullptr;
    base::CWaitableEvent* event = nullptr;
  };

  void OnObjectSignaled(HANDLE object) override { Record(object, nullptr); }
  void OnWaitableEventSignaled(base::CWaitableEvent* event) override { Record(nullptr, event); }

  Calls calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  bool WaitForCall() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, ipc_test::kWaitLimit, [&] { return calls_.count > 0; });
  }

 private:
  void Record(HANDLE object, base::CWaitableEvent* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_ = {calls_.count + 1, GetCurrentThreadId(), object, event};
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  Calls calls_;  // Guarded by mutex_
};

class WatcherTest : public ::testing::Test {
 protected:
  testing_support::TestHost host_;
};

TEST_F(WatcherTest, AlreadySignalledObjectIsReportedOnALaterTurnOnTheWatchingThread) {
  base::CWaitableEvent event(true);
  RecordingDelegate delegate;
  base::CObjectWatcher watcher;
  host_.RunOn(kThreadUI, [&] {
    ASSERT_TRUE(watcher.StartWatching(event.handle(), &delegate));
    EXPECT_FALSE(watcher.StartWatching(event.handle(), &delegate));  // one watch at a time
    EXPECT_EQ(delegate.calls().count, 0);                            // never inside StartWatching
  });
  ASSERT_TRUE(delegate.WaitForCall());
  EXPECT_EQ(delegate.calls().thread, host_.ThreadId(kThreadUI));
  EXPECT_EQ(delegate.calls().object, event.handle());
  ASSERT_TRUE(host_.WaitIdle());
  host_.RunOn(kThreadUI, [&] {
    EXPECT_FALSE(watcher.IsWatching());  // ended before the delegate ran
    EXPECT_FALSE(watcher.StopWatching());
  });
  EXPECT_EQ(delegate.calls().count, 1);
}

TEST_F(WatcherTest, StopAfterTheObjectFiredKeepsTheDelegateFromBeingCalled) {
  testing_support::LogCapture log;
  base::CWaitableEvent event(false);
  RecordingDelegate delegate;
  base::CObjectWatcher watcher;
  host_.RunOn(kThreadUI, [&] {
    ASSERT_TRUE(watcher.StartWatching(event.handle(), &delegate));
    event.Signal();
    // The wait thread posts its task to this (busy) thread; wait until it has.
    ASSERT_TRUE(ipc_test::PollUntil([&] { return log.Contains(u"Done waiting"); }));
    EXPECT_TRUE(watcher.StopWatching());
  });
  ASSERT_TRUE(host_.WaitIdle());  // the posted task has run by now
  EXPECT_EQ(delegate.calls().count, 0);
}

TEST_F(WatcherTest, StopBeforeTheObjectFiresNeverCallsTheDelegate) {
  base::CWaitableEvent event(false);
  RecordingDelegate delegate;
  host_.RunOn(kThreadUI, [&] {
    base::CObjectWatcher watcher;
    ASSERT_TRUE(watcher.StartWatching(event.handle(), &delegate));
    EXPECT_TRUE(watcher.StopWatching());
    EXPECT_TRUE(watcher.StartWatching(event.handle(), &delegate));  // idle again: may restart
  });  // the destructor stops the second watch
  event.Signal();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(delegate.calls().count, 0);
}

TEST_F(WatcherTest, WaitableEventWatcherHandsOverTheEventAndNotesAnEarlySignal) {
  testing_support::LogCapture log;
  base::CWaitableEvent event(false);
  RecordingDelegate delegate;
  base::CWaitableEventWatcher watcher;
  host_.RunOn(kThreadUI, [&] { ASSERT_TRUE(watcher.StartWatching(&event, &delegate)); });
  EXPECT_FALSE(log.Contains(u"STRANGE : the event want to watch is signaled"));
  event.Signal();
  ASSERT_TRUE(delegate.WaitForCall());
  EXPECT_EQ(delegate.calls().event, &event);
  EXPECT_EQ(delegate.calls().thread, host_.ThreadId(kThreadUI));

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
