#include "thread/now.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/system_time.h"

namespace {

constexpr LONGLONG kSecondNs = 1000000000LL;
constexpr int64_t kSecond100ns = 10000000LL;
constexpr int64_t kT0 = 130000000000000000LL;  // a FILETIME (2012), 100-ns units

std::atomic<LONGLONG> g_counter{0};
std::atomic<int64_t> g_system{0};
LONGLONG FakeCounter() { return g_counter.load(); }
int64_t FakeSystemTime() { return g_system.load(); }

class NowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_counter = 100 * kSecondNs;
    g_system = kT0;
    halcy::SetPerformanceCounterForTesting(&FakeCounter);
    halcy::SetSystemTimeForTesting(&FakeSystemTime);
    Thread::ResetClockForTesting();
  }
  void TearDown() override {
    halcy::SetPerformanceCounterForTesting(nullptr);
    halcy::SetSystemTimeForTesting(nullptr);
    Thread::ResetClockForTesting();
  }
};

TEST_F(NowTest, FirstCallIsTheSystemTimeThenTheCounterRulesWithinSixtySeconds) {
  EXPECT_EQ(kT0 / 10, Thread::Now());  // microseconds
  g_counter += 30 * kSecondNs;
  g_system += 45 * kSecond100ns;  // the wall clock drifted; Now follows the counter
  EXPECT_EQ(kT0 / 10 + 30000000, Thread::Now());
  g_counter += 30 * kSecondNs;  // exactly 60 s since the anchor: still no resynchronisation
  EXPECT_EQ(kT0 / 10 + 60000000, Thread::Now());
}

TEST_F(NowTest, JumpOfMoreThanSixtySecondsResynchronisesWithTheSystemTime) {
  Thread::Now();
  g_counter += 61 * kSecondNs;
  g_system = kT0 + 200 * kSecond100ns;
  EXPECT_EQ((kT0 + 200 * kSecond100ns) / 10, Thread::Now());
  // The new anchor holds: later readings follow the counter again.
  g_counter += kSecondNs;
  EXPECT_EQ((kT0 + 201 * kSecond100ns) / 10, Thread::Now());
}

TEST_F(NowTest, BackwardsStepBeyondTheWrapAllowanceResynchronises) {
  Thread::Now();
  g_counter = 1 * kSecondNs;  // 99 s back: more than a 32-bit wrap can explain
  g_system = kT0 + 7 * kSecond100ns;
  EXPECT_EQ((kT0 + 7 * kSecond100ns) / 10, Thread::Now());
}

TEST_F(NowTest, SmallBackwardsStepIsTakenForACounterWrapAndNowKeepsRising) {
  int64_t before = Thread::Now();
  g_counter -= 1000000;  // 1 ms back: read as a wrap of the low 32 bits (2^32 ns on)
  int64_t after = Thread::Now();
  EXPECT_EQ(4293967, after - before);
}

TEST_F(NowTest, CounterOfThirtyDaysDoesNotOverflowTheConversion) {
  g_counter = 30LL * 24 * 3600 * kSecondNs;  // ns * 1e6 would pass 2^63
  int64_t before = Thread::Now();
  g_counter += kSecondNs;
  EXPECT_EQ(1000000, Thread::Now() - before);
}

TEST(NowRealClockTest, RealClockIsNearTheSystemTimeAndDoesNotGoBack) {
  Thread::ResetClockForTesting();
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  int64_t system_us = halcy::FileTimeToInt64(ft) / 10;
  int64_t a = Thread::Now();
  int64_t b = Thread::Now();
  EXPECT_LE(a, b);
  EXPECT_LT(std::llabs(a - system_us), 5000000);  // within 5 s of the wall clock
}

}  // namespace
