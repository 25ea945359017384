// A reference-counted probe for the thread tests: records calls, their threads and its own
// destruction.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "platform/threads.h"

namespace thread_test {

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
