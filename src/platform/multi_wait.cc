#include "platform/multi_wait.h"

#include <chrono>
#include <vector>

#include "platform/win32.h"

namespace halcy {
namespace {

// One process-wide change counter: a multi-object waiter reads it, looks at its objects, and
// sleeps only while the counter has not moved, so a signal between the look and the sleep is
// never lost.
class SignalBoard {
 public:
  uint64_t generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
  }

  void Bump() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    if (sleepers_ > 0) cv_.notify_all();
  }

  // False when the deadline passed with the counter still at `seen`.
  bool WaitForChange(uint64_t seen, bool infinite, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    bool changed = true;
    auto moved = [&] { return generation_ != seen; };
    if (infinite) {
      cv_.wait(lock, moved);
    } else {
      changed = cv_.wait_until(lock, deadline, moved);
    }
    --sleepers_;
    return changed;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;  // Guarded by mutex_
  int sleepers_ = 0;         // Guarded by mutex_
};

SignalBoard& Board() {
  static auto* board = new SignalBoard();  // never destroyed: used from detached wait threads
  return *board;
}

}  // namespace

void NotifyWaitableSignaled() { Board().Bump(); }

DWORD WaitForAnyObject(WaitableObject* const* objects, DWORD count, DWORD timeout_ms,
                       const std::atomic<bool>* cancel) {
  const bool infinite = timeout_ms == INFINITE;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms);
  for (;;) {
    const uint64_t seen = Board().generation();
    if (cancel && cancel->load(std::memory_order_acquire)) return kWaitCancelled;
    for (DWORD i = 0; i < count; ++i) {
      if (objects[i]->Wait(0) == WAIT_OBJECT_0) return i;
    }
    if (timeout_ms == 0 || !Board().WaitForChange(seen, infinite, deadline)) return WAIT_TIMEOUT;
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
  NotifyWaitableSignaled();
  return true;
}

DWORD Semaphore::Wait(DWORD timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto available = [this] { return count_ > 0; };
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
