#include "thread/message_pump.h"

#include <chrono>

#include "thread/now.h"

namespace Thread {

int64_t CMessagePump::MicrosecondsUntil(int64_t delayed_run_time) {
  int64_t delta = delayed_run_time - Now();
  return delta > 0 ? delta : 0;
}

void CMessagePump::Run(Delegate* delegate) {
  keep_running_ = true;
  int64_t delayed_run_time = 0;
  for (;;) {
    bool did_work = delegate->DoWork();
    if (!keep_running_) break;
    did_work |= DoPumpWork();
    if (!keep_running_) break;
    did_work |= delegate->DoDelayedWork(&delayed_run_time);
    if (!keep_running_) break;
    if (did_work) continue;
    did_work = delegate->DoIdleWork();
    if (!keep_running_) break;
    if (did_work) continue;
    WaitForWork(delayed_run_time);
  }
  // The enclosing run, if any, carries on.
  keep_running_ = true;
}

void CMessagePumpDefault::WaitForWork(int64_t delayed_run_time) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (delayed_run_time == 0) {
    wake_.wait(lock, [this] { return have_work_; });
  } else {
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::microseconds(MicrosecondsUntil(delayed_run_time));
    wake_.wait_until(lock, until, [this] { return have_work_; });
  }
  have_work_ = false;
}

void CMessagePumpDefault::ScheduleWork() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    have_work_ = true;
  }
  wake_.notify_one();
}

}  // namespace Thread
