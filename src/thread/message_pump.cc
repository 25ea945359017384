#include "thread/message_pump.h"

#include <chrono>
#include <thread>

#include "thread/now.h"

namespace Thread {
namespace {

// How long an idle pump keeps looking for work before it sleeps.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(50);

}  // namespace

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
  // The next task often arrives within microseconds, as each hop of a command's round trip
  // answers the previous one: looking at the flag for a short while costs less than parking the
  // thread and having the scheduler wake it again. Each look yields the processor, so that on a
  // busy machine the other threads run instead of this one's waiting.
  const auto spin_end = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
  do {
    if (have_work_.exchange(false, std::memory_order_acquire)) return;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < spin_end &&
           (delayed_run_time == 0 || MicrosecondsUntil(delayed_run_time) > 0));
  std::unique_lock<std::mutex> lock(mutex_);
  auto have_work = [this] { return have_work_.load(std::memory_order_relaxed); };
  if (delayed_run_time == 0) {
    wake_.wait(lock, have_work);
  } else {
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::microseconds(MicrosecondsUntil(delayed_run_time));
    wake_.wait_until(lock, until, have_work);
  }
  have_work_.store(false, std::memory_order_relaxed);
}

void CMessagePumpDefault::ScheduleWork() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    have_work_.store(true, std::memory_order_release);
  }
  wake_.notify_one();
}

}  // namespace Thread
