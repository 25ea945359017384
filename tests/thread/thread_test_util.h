// Helpers for the thread tests: a pump that runs on the test's own thread and counts its
// wake-ups, and a reference-counted probe that records calls and its own destruction.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "platform/threads.h"
#include "thread/message_pump.h"

namespace thread_test {

// Run returns once no task is ready (or on Quit) instead of sleeping, so that a test drives a
// loop on its own thread step by step.
class CountingPump final : public Thread::CMessagePump {
 public:
  void Run(Delegate* delegate) override {
    int64_t next = 0;
    for (keep_running_ = true; keep_running_;) {
      bool did_work = delegate->DoWork();
      if (keep_running_) did_work |= delegate->DoDelayedWork(&next);
      if (!keep_running_ || did_work) continue;
      delegate->DoIdleWork();
      break;
    }
    keep_running_ = true;
  }
  void Quit() override {
    keep_running_ = false;
    ++quits;
  }
  void ScheduleWork() override { ++wakeups; }

  std::atomic<int> wakeups{0};
  int quits = 0;

 private:
  ~CountingPump() override = default;
  void WaitForWork(int64_t) override {}
  bool keep_running_ = true;
};

class CProbe : public base::CRefCountedThreadSafe<CProbe> {
 public:
  explicit CProbe(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}

  void Record(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(value);
    threads_.push_back(GetCurrentThreadId());
  }
  void Grow(std::string& text) {  // a reference parameter: sees the task's own copy
    text += "!";
    Record(static_cast<int>(text.size()));
  }

  std::vector<int> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  std::vector<DWORD> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  friend class base::CRefCountedThreadSafe<CProbe>;
  ~CProbe() {
    if (destroyed_) ++*destroyed_;
  }

  std::atomic<int>* destroyed_;
  std::mutex mutex_;
  std::vector<int> values_;     // Guarded by mutex_
  std::vector<DWORD> threads_;  // Guarded by mutex_
};

}  // namespace thread_test
