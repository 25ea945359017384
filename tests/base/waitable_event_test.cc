// base::CWaitableEvent and WaitMany, on the platform's own events and through its library.
#include "base/waitable_event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/hcsafe.h"
#include "platform/kernel_object.h"

namespace {

class WaitableEventTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { halcy::SetHcsafeEnabledForTesting(GetParam()); }
  void TearDown() override { halcy::SetHcsafeEnabledForTesting(false); }
};

TEST_P(WaitableEventTest, ManualResetStaysSignalledUntilResetAndClosesItsHandle) {
  const size_t before = halcy::OpenHandleCountForTesting();
  {
    base::CWaitableEvent event(false);
    EXPECT_EQ(halcy::OpenHandleCountForTesting(), before + 1);
    EXPECT_FALSE(event.TimedWait(0));
    event.Signal();
    EXPECT_TRUE(event.TimedWait(0));
    EXPECT_TRUE(event.TimedWait(0));
    event.Reset();
    EXPECT_FALSE(event.TimedWait(10));
    base::CWaitableEvent initially(true);
    EXPECT_TRUE(initially.TimedWait(0));
  }
  EXPECT_EQ(halcy::OpenHandleCountForTesting(), before);
}

TEST_P(WaitableEventTest, WaitManySkipsNullsReturnsTheLowestSignalledAndWakesOnASignal) {
  base::CWaitableEvent a(false), b(false), c(false);
  c.Signal();
  base::CWaitableEvent* events[3] = {&a, nullptr, &c};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(events, 3), &c);
  b.Signal();
  base::CWaitableEvent* with_b[3] = {nullptr, &b, &c};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(with_b, 3), &b);
  base::CWaitableEvent* none[2] = {nullptr, nullptr};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(none, 2), nullptr);
  std::thread signaller([&] { a.Signal(); });
  base::CWaitableEvent* only_a[1] = {&a};
  EXPECT_EQ(base::CWaitableEvent::WaitMany(only_a, 1), &a);
  signaller.join();
}

INSTANTIATE_TEST_SUITE_P(PlatformAndLibrary, WaitableEventTest, testing::Bool());

}  // namespace
