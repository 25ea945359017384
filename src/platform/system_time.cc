#include "platform/system_time.h"

#include <time.h>

#include <atomic>

namespace {
std::atomic<halcy::SystemTimeFn> g_time_override{nullptr};

int64_t RealSystemTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return halcy::kFileTimeUnixEpoch + static_cast<int64_t>(ts.tv_sec) * 10000000LL +
         ts.tv_nsec / 100;
}
}  // namespace

void GetSystemTimeAsFileTime(FILETIME* time) {
  if (!time) return;
  halcy::SystemTimeFn fn = g_time_override.load(std::memory_order_acquire);
  uint64_t t = static_cast<uint64_t>(fn ? fn() : RealSystemTime());
  time->dwLowDateTime = static_cast<DWORD>(t);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

namespace halcy {
void SetSystemTimeForTesting(SystemTimeFn fn) {
  g_time_override.store(fn, std::memory_order_release);
}
}  // namespace halcy
