// base::CWaitableEvent and WaitMany.
#include "base/waitable_event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/hcsafe.h"
#include "platform/kernel_object.h"

namespace {

TEST(WaitableEventTest, ManualResetStaysSignalledUntilReset) {
  base::CWaitableEvent event(false);
  EXPECT_FALSE(event.TimedWait(0));
  event.Signal();
  EXPECT_TRUE(event.TimedWait(0));
  EXPECT_TRUE(event.TimedWait(0));
  event.Reset();
  EXPECT_FALSE(event.TimedWait(10));
  base::CWaitableEvent initially(true);
  EXPECT_TRUE(initially.TimedWait(0));
}

TEST(WaitableEventTest, WaitManySkipsNullsAndReturnsTheSignalledEvent) {
  base::CWaitableEvent a(false), b(false), c(false);
  c.Signal();
  base::CWaitableEvent* events[3] = {&a, nullptr, &c};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(events, 3), &c);
  b.Signal();
  base::CWaitableEvent* with_b[3] = {nullptr, &b, &c};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(with_b, 3), &b);  // lowest signalled index
  base::CWaitableEvent* none[2] = {nullptr, nullptr};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(none, 2), nullptr);
}

TEST(WaitableEventTest, WaitManyWakesOnASignalFromAnotherThread) {
  base::CWaitableEvent a(false), b(false);
  std::thread signaller([&] { b.Signal(); });
  base::CWaitableEvent* events[2] = {&a, &b};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(events, 2), &b);
  signaller.join();
}

TEST(WaitableEventTest, LibraryPathBehavesTheSameAndClosesItsHandle) {
  const size_t before = halcy::OpenHandleCountForTesting();
  halcy::SetHcsafeEnabledForTesting(true);
  {
    base::CWaitableEvent event(false);
    EXPECT_EQ(halcy::OpenHandleCountForTesting(), before + 1);
    std::thread signaller([&] { event.Signal(); });
    base::CWaitableEvent* events[1] = {&event};
    EXPECT_EQ(base::CWaitableEvent::WaitMany(events, 1), &event);
    signaller.join();
    event.Reset();
    EXPECT_FALSE(event.TimedWait(0));
  }
  halcy::SetHcsafeEnabledForTesting(false);
  EXPECT_EQ(halcy::OpenHandleCountForTesting(), before);
}

}  // namespace
