#include "platform/clock.h"

#include <time.h>

#include <atomic>

namespace {
std::atomic<halcy::PerformanceCounterFn> g_counter_override{nullptr};

LONGLONG MonotonicNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<LONGLONG>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (!count) return FALSE;
  halcy::PerformanceCounterFn fn = g_counter_override.load(std::memory_order_acquire);
  count->QuadPart = fn ? fn() : MonotonicNanoseconds();
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) return FALSE;
  frequency->QuadPart = 1000000000LL;
  return TRUE;
}

namespace halcy {
void SetPerformanceCounterForTesting(PerformanceCounterFn fn) {
  g_counter_override.store(fn, std::memory_order_release);
}
}  // namespace halcy
