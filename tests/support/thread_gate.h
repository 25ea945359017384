// ThreadGate: holds one of the browser's threads inside a task until Release (or the gate's
// end), so that a test can queue work behind it and act while that thread is busy. The
// constructor returns once the thread is inside the task.
//
// Made and released on the test's thread. The held task shares the gate's state, so the
// thread may still be waking up from it after the gate has gone.
#pragma once

#include <memory>

#include "thread/thread_service.h"

namespace testing_support {

class ThreadGate {
 public:
  explicit ThreadGate(int thread_kind);  // Thread::kThreadUI, ...

  ~ThreadGate();
  ThreadGate(const ThreadGate&) = delete;
  ThreadGate& operator=(const ThreadGate&) = delete;

  void Release();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace testing_support
