#include "support/thread_gate.h"

#include <condition_variable>
#include <mutex>

#include "thread/task.h"
#include "thread/thread_post.h"

namespace testing_support {

struct ThreadGate::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false;   // Guarded by mutex
  bool released = false;  // Guarded by mutex
};

ThreadGate::ThreadGate(int thread_kind) : state_(std::make_shared<State>()) {
  const bool posted = Thread::PostTask(thread_kind, Thread::NewFuncTask([state = state_] {
                                         std::unique_lock<std::mutex> hold(state->mutex);
                                         state->entered = true;
                                         state->cv.notify_all();
                                         state->cv.wait(hold, [&] { return state->released; });
                                       }));
  std::unique_lock<std::mutex> hold(state_->mutex);
  if (posted) state_->cv.wait(hold, [this] { return state_->entered; });
}

ThreadGate::~ThreadGate() { Release(); }

void ThreadGate::Release() {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->released = true;
  state_->cv.notify_all();
}

}  // namespace testing_support
