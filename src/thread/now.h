// The clock of delayed tasks: `Thread::Now()` is microseconds since 1601-01-01 (the FILETIME
// epoch). It advances with the performance counter and is anchored to the system time; when
// the counter has moved more than 60 s since the anchor, or behind it, the anchor is taken
// again from the system time, so a suspended machine or a stepped clock does not leave it off.
//
// Safe from any thread: the tick source and the anchor are guarded by one process-wide lock.
#pragma once

#include <cstdint>

namespace Thread {

int64_t Now();

// Forgets the cached frequency, the rollover state and the anchor, so that a test that
// replaces the counter or the system time starts from a clean clock.
void ResetClockForTesting();

}  // namespace Thread
