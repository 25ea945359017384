#include "thread/now.h"

#include <mutex>

#include "platform/clock.h"
#include "platform/system_time.h"

namespace Thread {
namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kResyncAfterMs = 60000;

class Clock {
 public:
  int64_t Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initial_time_ == 0) Synchronize();
    int64_t elapsed = TicksMicroseconds() - initial_ticks_;
    int64_t elapsed_ms = elapsed / 1000;
    if (elapsed_ms < 0 || elapsed_ms > kResyncAfterMs) {
      Synchronize();
      elapsed = TicksMicroseconds() - initial_ticks_;
    }
    return initial_time_ + elapsed;
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    frequency_ = 0;
    last_counter_ = 0;
    rollover_ = 0;
    initial_ticks_ = 0;
    initial_time_ = 0;
  }

 private:
  // REQUIRES: mutex_ held.
  int64_t TicksMicroseconds() {
    if (frequency_ == 0) {
      LARGE_INTEGER f;
      QueryPerformanceFrequency(&f);
      frequency_ = f.QuadPart > 0 ? f.QuadPart : 1;
    }
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    // A reading below the previous one is taken for a wrap of the counter's low 32 bits.
    if (c.QuadPart < last_counter_) rollover_ += int64_t{1} << 32;
    last_counter_ = c.QuadPart;
    int64_t ticks = rollover_ + c.QuadPart;
    // Split so that ticks * 1e6 cannot overflow (a nanosecond counter passes 2^63 / 1e6 after
    // two and a half hours).
    return ticks / frequency_ * kMicrosecondsPerSecond +
           ticks % frequency_ * kMicrosecondsPerSecond / frequency_;
  }

  // REQUIRES: mutex_ held.
  void Synchronize() {
    initial_ticks_ = TicksMicroseconds();
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    initial_time_ = halcy::FileTimeToInt64(ft) / 10;
  }

  std::mutex mutex_;
  int64_t frequency_ = 0;      // Guarded by mutex_; cached on first use
  int64_t last_counter_ = 0;   // Guarded by mutex_
  int64_t rollover_ = 0;       // Guarded by mutex_
  int64_t initial_ticks_ = 0;  // Guarded by mutex_
  int64_t initial_time_ = 0;   // Guarded by mutex_; 0 until the first call
};

Clock& TheClock() {
  static auto* clock = new Clock();  // never destroyed: threads may ask during exit
  return *clock;
}

}  // namespace

int64_t Now() { return TheClock().Now(); }

void ResetClockForTesting() { TheClock().Reset(); }

}  // namespace Thread
