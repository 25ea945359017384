// One entry of a message loop's queues: the task and when it may run.
// Plain data, owned by the loop that queues it.
#pragma once

#include <cstdint>

namespace Thread {

class CTask;

struct CPendingTask {
  CTask* task;               // owned by the queue holding the entry
  int64_t delayed_run_time;  // microseconds on Thread::Now(); 0 runs as soon as possible
  int32_t sequence_num;      // 0 when queued; numbered when it enters the delayed queue
  bool nestable;             // always true for tasks posted by the module

  // Orders the delayed queue (a max-heap): the earliest run time, then the lowest sequence
  // number, comes out first.
  bool operator<(const CPendingTask& other) const {
    if (delayed_run_time != other.delayed_run_time) {
      return delayed_run_time > other.delayed_run_time;
    }
    return sequence_num > other.sequence_num;
  }
};

}  // namespace Thread
