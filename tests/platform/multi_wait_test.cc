// Events, waiting on one or several objects, semaphores, and thread-pool waits.
#include "platform/multi_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread_pool_wait.h"
#include "platform/win32.h"

namespace {

// What a thread-pool callback saw, with a way to hold it inside the callback.
struct CallbackLog {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  int timeouts = 0;
  bool hold = false;
  bool inside = false;

  static void Callback(void* context, BOOLEAN timed_out) {
    auto* log = static_cast<CallbackLog*>(context);
    std::unique_lock<std::mutex> lock(log->mutex);
    ++log->calls;
    log->timeouts += timed_out ? 1 : 0;
    log->inside = true;
    log->cv.notify_all();
    log->cv.wait(lock, [&] { return !log->hold; });
    log->inside = false;
    log->cv.notify_all();
  }
  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, limit, done);
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    cv.notify_all();
  }
};

class MultiWaitTest : public ::testing::Test {
 protected:
  void SetUp() override { handles_before_ = halcy::OpenHandleCountForTesting(); }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    EXPECT_EQ(handles_before_, halcy::OpenHandleCountForTesting());
  }
  HANDLE Keep(HANDLE h) {
    handles_.push_back(h);
    return h;
  }
  HANDLE Event(bool manual, bool signaled) {
    return Keep(CreateEventW(nullptr, manual, signaled, nullptr));
  }
  // Registers a one-shot wait for `log` on a signalled event; returns once the callback is held.
  HANDLE RegisterHeld(CallbackLog* log, ULONG flags) {
    log->hold = true;
    HANDLE wait = nullptr;
    EXPECT_TRUE(RegisterWaitForSingleObject(&wait, Event(true, true), &CallbackLog::Callback, log,
                                            INFINITE, flags | WT_EXECUTEONLYONCE));
    EXPECT_TRUE(log->WaitUntil([&] { return log->inside; }));
    return wait;
  }

  size_t handles_before_ = 0;
  std::vector<HANDLE> handles_;
};

TEST_F(MultiWaitTest, WaitTimesOutAfterItsTimeAndNeedsAnObject) {
  HANDLE e = Event(true, false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleObjects(1, &e, FALSE, 20), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
  EXPECT_EQ(WaitForMultipleObjects(0, &e, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(MultiWaitTest, SemaphoreCountsAndRefusesToPassItsMaximum) {
  HANDLE sem = Keep(CreateSemaphoreW(nullptr, 1, 3, nullptr));
  LONG previous = -1;
  ASSERT_TRUE(ReleaseSemaphore(sem, 2, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(sem, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_TIMEOUT);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 4, 3, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(MultiWaitTest, OneShotWaitFiresOnceAndARepeatingOnePerSignalOrTimeout) {
  HANDLE manual = Event(true, false);
  CallbackLog once;
  HANDLE wait = nullptr;
  ASSERT_TRUE(RegisterWaitForSingleObject(&wait, manual, &CallbackLog::Callback, &once, INFINITE,
                                          WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE));
  SetEvent(manual);  // stays signalled
  ASSERT_TRUE(once.WaitUntil([&] { return once.calls >= 1 && !once.inside; }));
  ASSERT_TRUE(UnregisterWaitEx(wait, INVALID_HANDLE_VALUE));
  EXPECT_EQ(once.calls, 1);
  EXPECT_EQ(once.timeouts, 0);

  HANDLE e = Event(false, false);
  CallbackLog log;
  ASSERT_TRUE(RegisterWaitForSingleObject(&wait, e, &CallbackLog::Callback, &log, 10, 0));
  ASSERT_TRUE(log.WaitUntil([&] { return log.calls >= 1 && !log.inside; }));
  SetEvent(e);
  ASSERT_TRUE(log.WaitUntil([&] { return log.calls > log.timeouts; }));
  ASSERT_TRUE(UnregisterWaitEx(wait, INVALID_HANDLE_VALUE));
  EXPECT_GE(log.timeouts, 1);
}

TEST_F(MultiWaitTest, UnregisterWaitsForTheRunningCallback) {
  CallbackLog log;
  HANDLE wait = RegisterHeld(&log, WT_EXECUTEINWAITTHREAD);
  bool returned = false;  // Guarded by log.mutex
  bool inside_at_return = true;
  std::thread unregister([&] {
    UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
    std::lock_guard<std::mutex> lock(log.mutex);
    returned = true;
    inside_at_return = log.inside;
    log.cv.notify_all();
  });
  // While the callback is held, the unregistering thread must not come back.
  EXPECT_FALSE(log.WaitUntil([&] { return returned; }, std::chrono::milliseconds(200)));
  log.Release();
  unregister.join();
  EXPECT_FALSE(inside_at_return);
}

TEST_F(MultiWaitTest, UnregisterWithoutWaitingReportsARunningCallback) {
  CallbackLog log;
  HANDLE wait = RegisterHeld(&log, 0);
  HANDLE done = Event(true, false);
  EXPECT_FALSE(UnregisterWaitEx(wait, done));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  log.Release();
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);  // set once the callback is out
}

}  // namespace
