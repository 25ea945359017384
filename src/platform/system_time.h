// The wall clock as Windows reports it: a FILETIME counts 100-nanosecond intervals since
// 1601-01-01 UTC. Tests may replace the source to make the clock jump or step back.
// Safe from any thread; the override is meant to be set while no other thread reads the clock.
#pragma once

#include "platform/win_types.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

void GetSystemTimeAsFileTime(FILETIME* time);

namespace halcy {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

// Returns the current time in 100-ns intervals since 1601; null restores the real clock.
using SystemTimeFn = int64_t (*)();
void SetSystemTimeForTesting(SystemTimeFn fn);

inline int64_t FileTimeToInt64(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}
}  // namespace halcy
