#include "thread/message_loop_proxy.h"

#include "thread/message_loop.h"
#include "thread/task.h"

namespace Thread {

bool CMessageLoopProxy::PostTask(CTask* task, int64_t delay_ms) {
  {
    // Held across the post so that the loop cannot be destroyed in the middle of it.
    std::lock_guard<std::mutex> lock(lock_);
    if (loop_) {
      loop_->PostTask(task, delay_ms);
      return true;
    }
  }
  // Deleted after the lock is left: the task's target may post through this proxy as it goes.
  delete task;
  return false;
}

CMessageLoop* CMessageLoopProxy::loop() {
  std::lock_guard<std::mutex> lock(lock_);
  return loop_;
}

void CMessageLoopProxy::OnLoopDestroyed() {
  std::lock_guard<std::mutex> lock(lock_);
  loop_ = nullptr;
}

}  // namespace Thread
