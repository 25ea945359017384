// The performance counter and its frequency. Tests may replace the counter source to make
// timing exact. Safe from any thread; the override is meant to be set before threads use it.
#pragma once

#include "platform/win_types.h"

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

BOOL QueryPerformanceCounter(LARGE_INTEGER* count);        // monotonic nanoseconds
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);  // 1e9

namespace halcy {
// Replaces the counter (null restores the real one). The frequency stays fixed at 1e9.
using PerformanceCounterFn = LONGLONG (*)();
void SetPerformanceCounterForTesting(PerformanceCounterFn fn);
}  // namespace halcy
