// One-shot timers on the browser's loops, driven through the timer callback object of the
// tracker and the guide: which thread they fire on, once, and what erasing, replacing and a
// loop that goes away do to them and to the callback's reference.

#include "platform/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/threads.h"
#include "support/test_host.h"
#include "thread/thread_service.h"
#include "update/timer_callback.h"

namespace {

using Clock = std::chrono::steady_clock;
using Logic::CTimerCallback;
using Util::Common::Timer::EraseTimerCallback;
using Util::Common::Timer::SetOneTimer;

// Firings by timer id, with the thread each came on.
struct Firings {
  std::mutex mutex;
  std::condition_variable cv;
  std::multimap<UINT, DWORD> fired;  // Guarded by mutex

  ComPtr<CTimerCallback> MakeCallback() {
    ComPtr<CTimerCallback> callback = halcy::MakeComObject<CTimerCallback>();
    callback->SetTarget([this](UINT id) {
      std::lock_guard<std::mutex> lock(mutex);
      fired.emplace(id, GetCurrentThreadId());
      cv.notify_all();
    });
    return callback;
  }
  bool WaitFor(UINT id) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return fired.count(id) > 0; });
  }
  size_t Count(UINT id) {
    std::lock_guard<std::mutex> lock(mutex);
    return fired.count(id);
  }
};

class TimerTest : public ::testing::Test {
 protected:
  template <class F>
  auto OnUi(F&& fn) {
    return host_.RunOn(Thread::kThreadUI, std::forward<F>(fn));
  }

  testing_support::TestHost host_;
  Firings firings_;
};

TEST_F(TimerTest, FiresOnceOnTheSettingThreadNoSoonerThanItsElapse) {
  ComPtr<CTimerCallback> callback = firings_.MakeCallback();
  const auto set_at = Clock::now();
  ASSERT_TRUE(OnUi([&] { return SetOneTimer(50, callback.Get(), 8083); }));
  ASSERT_TRUE(firings_.WaitFor(8083));
  EXPECT_GE(Clock::now() - set_at, std::chrono::milliseconds(50));
  EXPECT_EQ(firings_.fired.find(8083)->second, host_.ThreadId(Thread::kThreadUI));
  EXPECT_FALSE(OnUi([&] { return EraseTimerCallback(callback.Get(), 8083); }));  // gone
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(firings_.Count(8083), 1u);
}

TEST_F(TimerTest, ErasedTimersNeverFireAndASecondSetReplacesTheFirst) {
  ComPtr<CTimerCallback> callback = firings_.MakeCallback();
  ComPtr<CTimerCallback> other = firings_.MakeCallback();
  OnUi([&] {
    EXPECT_TRUE(SetOneTimer(20, callback.Get(), 1));
    EXPECT_TRUE(SetOneTimer(20, callback.Get(), 2));
    EXPECT_TRUE(SetOneTimer(20, other.Get(), 1));  // same id, another callback: its own timer
    EXPECT_TRUE(EraseTimerCallback(callback.Get(), 1));
    EXPECT_FALSE(EraseTimerCallback(callback.Get(), 1));
    EXPECT_TRUE(SetOneTimer(60, callback.Get(), 2));  // replaces the 20 ms one
    EXPECT_TRUE(SetOneTimer(200, callback.Get(), 3));
  });
  ASSERT_TRUE(firings_.WaitFor(3));  // fires after every other one was due
  EXPECT_EQ(firings_.Count(1), 1u);  // `other`'s only
  EXPECT_EQ(firings_.Count(2), 1u);
}

TEST_F(TimerTest, AClearedTargetIsNotCalledAndTheTimerHoldsItsCallbackUntilItFires) {
  auto token = std::make_shared<int>(0);
  ComPtr<CTimerCallback> callback = firings_.MakeCallback();
  ComPtr<CTimerCallback> cleared = halcy::MakeComObject<CTimerCallback>();
  cleared->SetTarget([token](UINT) { ++*token; });
  OnUi([&] {
    EXPECT_TRUE(SetOneTimer(20, cleared.Get(), 7));
    EXPECT_TRUE(SetOneTimer(40, callback.Get(), 8));
  });
  cleared->ClearTarget();
  callback = nullptr;  // only the timer holds it now
  ASSERT_TRUE(firings_.WaitFor(8));
  EXPECT_EQ(*token, 0);
  EXPECT_EQ(token.use_count(), 1);  // the cleared target went with ClearTarget
}

TEST(TimerWithoutLoopTest, SetFailsAndKeepsNoReference) {
  auto token = std::make_shared<int>(0);
  ComPtr<CTimerCallback> callback = halcy::MakeComObject<CTimerCallback>();
  callback->SetTarget([token](UINT) {});
  EXPECT_FALSE(SetOneTimer(10, nullptr, 1));
  EXPECT_FALSE(SetOneTimer(10, callback.Get(), 1));  // no runner registered
  {
    testing_support::TestHost host;  // a runner, but this thread has no loop
    EXPECT_FALSE(SetOneTimer(10, callback.Get(), 1));
    // A timer whose loop ends before it fires lets its callback go.
    host.RunOn(Thread::kThreadUI, [&] { EXPECT_TRUE(SetOneTimer(60000, callback.Get(), 2)); });
  }
  EXPECT_FALSE(EraseTimerCallback(callback.Get(), 2));
  callback = nullptr;
  EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
