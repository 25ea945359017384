#include "platform/multi_wait.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/win32.h"

namespace halcy {
namespace {

constexpr auto kSpinBeforeParking = std::chrono::microseconds(50);

// The multi-object waiters of the process. A waiter registers the objects it waits on before it
// looks at them, and sleeps on its own condition variable until one of them is reported, so a
// signal between the look and the sleep is never lost and other objects' signals never wake it.
class SignalBoard {
 public:
  struct Waiter {
    WaitableObject* const* objects;
    DWORD count;
    std::condition_variable cv;
    bool woken = false;  // Guarded by the board's mutex
  };

  void Register(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiter->woken = false;
    waiters_.push_back(waiter);
  }

  void Unregister(Waiter* waiter) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
  }

  // Null `object` wakes every waiter.
  void Notify(const KernelObject* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Waiter* waiter : waiters_) {
      if (object && !Contains(*waiter, object)) continue;
      waiter->woken = true;
      waiter->cv.notify_one();
    }
  }

  // False when the deadline passed without a report.
  bool Sleep(Waiter* waiter, bool infinite, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto woken = [&] { return waiter->woken; };
    if (infinite) {
      waiter->cv.wait(lock, woken);
      return true;
    }
    return waiter->cv.wait_until(lock, deadline, woken);
  }

 private:
  static bool Contains(const Waiter& waiter, const KernelObject* object) {
    for (DWORD i = 0; i < waiter.count; ++i) {
      if (waiter.objects[i] == object) return true;
    }
    return false;
  }

  std::mutex mutex_;
  std::vector<Waiter*> waiters_;  // Guarded by mutex_
};

SignalBoard& Board() {
  static auto* board = new SignalBoard();  // never destroyed: used from detached wait threads
  return *board;
}

}  // namespace

void NotifyWaitableSignaled(const KernelObject* object) { Board().Notify(object); }

void NotifyWaitableSignaled() { Board().Notify(nullptr); }

namespace {

// Looks at each object once, taking the first that is signalled.
DWORD TakeFirstSignalled(WaitableObject* const* objects, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (objects[i]->Wait(0) == WAIT_OBJECT_0) return i;
  }
  return WAIT_TIMEOUT;
}

}  // namespace

DWORD WaitForAnyObject(WaitableObject* const* objects, DWORD count, DWORD timeout_ms,
                       const std::atomic<bool>* cancel) {
  const bool infinite = timeout_ms == INFINITE;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(infinite ? 0 : timeout_ms);
  // A reply to a blocked sender often comes within microseconds: looking again for a short
  // while costs less than parking the thread and waking it through the scheduler.
  if (timeout_ms != 0) {
    const auto spin_end = start + kSpinBeforeParking;
    do {
      if (cancel && cancel->load(std::memory_order_acquire)) return kWaitCancelled;
      const DWORD taken = TakeFirstSignalled(objects, count);
      if (taken != WAIT_TIMEOUT) return taken;
    } while (std::chrono::steady_clock::now() < spin_end);
  }
  SignalBoard::Waiter waiter{objects, count, {}, false};
  for (;;) {
    Board().Register(&waiter);
    DWORD result = cancel && cancel->load(std::memory_order_acquire)
                       ? kWaitCancelled
                       : TakeFirstSignalled(objects, count);
    const bool slept =
        result == WAIT_TIMEOUT && timeout_ms != 0 && Board().Sleep(&waiter, infinite, deadline);
    Board().Unregister(&waiter);
    if (!slept) return result;
  }
}

bool Semaphore::AddCount(LONG count, LONG* previous) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count <= 0 || count > maximum_ - count_) return false;
    if (previous) *previous = count_;
    count_ += count;
  }
  cv_.notify_all();
  NotifyWaitableSignaled(this);
  return true;
}

DWORD Semaphore::Wait(DWORD timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto available = [this] { return count_ > 0; };
  // Not even a zero-length timed wait: its futex call sleeps for the timer slack.
  if (timeout_ms == 0 && !available()) return WAIT_TIMEOUT;
  if (timeout_ms == INFINITE) {
    cv_.wait(lock, available);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), available)) {
    return WAIT_TIMEOUT;
  }
  --count_;
  return WAIT_OBJECT_0;
}

}  // namespace halcy

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD timeout_ms) {
  if (wait_all) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<halcy::KernelRef<halcy::WaitableObject>> refs;
  std::vector<halcy::WaitableObject*> objects;
  refs.reserve(count);
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    refs.push_back(halcy::LookUpHandle<halcy::WaitableObject>(handles[i]));
    if (!refs.back()) return WAIT_FAILED;  // the last error is ERROR_INVALID_HANDLE
    objects.push_back(refs.back().get());
  }
  const DWORD result = halcy::WaitForAnyObject(objects.data(), count, timeout_ms, nullptr);
  return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + result;
}

HANDLE CreateSemaphoreW(void* /*security_attributes: no access control here*/, LONG initial_count,
                        LONG maximum_count, LPCWSTR name) {
  if (name) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return halcy::InsertHandle(new halcy::Semaphore(initial_count, maximum_count));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) {
  halcy::KernelRef<halcy::Semaphore> s = halcy::LookUpHandle<halcy::Semaphore>(semaphore);
  if (!s) return FALSE;
  if (release_count <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!s->AddCount(release_count, previous_count)) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  return TRUE;
}
