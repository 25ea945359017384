#include "platform/event.h"

#include <chrono>

#include "platform/multi_wait.h"
#include "platform/win32.h"

namespace halcy {

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = true;
  }
  // An auto-reset event releases one waiter; a manual-reset one releases them all.
  if (manual_reset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
  NotifyWaitableSignaled(this);  // multi-object waiters (platform/multi_wait.h) look again
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = false;
}

DWORD Event::Wait(DWORD timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto is_set = [this] { return signaled_; };
  if (timeout_ms == 0 && !signaled_) return WAIT_TIMEOUT;  // a timed futex wait costs ~80 us
  if (timeout_ms == INFINITE) {
    cv_.wait(lock, is_set);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), is_set)) {
    return WAIT_TIMEOUT;
  }
  if (!manual_reset_) signaled_ = false;
  return WAIT_OBJECT_0;
}

}  // namespace halcy

HANDLE CreateEventW(void* /*security_attributes: no access control here*/, BOOL manual_reset,
                    BOOL initial_state, LPCWSTR name) {
  if (name) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return halcy::InsertHandle(new halcy::Event(manual_reset != FALSE, initial_state != FALSE));
}

BOOL SetEvent(HANDLE event) {
  halcy::KernelRef<halcy::Event> e = halcy::LookUpHandle<halcy::Event>(event);
  if (!e) return FALSE;
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  halcy::KernelRef<halcy::Event> e = halcy::LookUpHandle<halcy::Event>(event);
  if (!e) return FALSE;
  e->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD timeout_ms) {
  halcy::KernelRef<halcy::WaitableObject> w = halcy::LookUpHandle<halcy::WaitableObject>(object);
  if (!w) return WAIT_FAILED;
  return w->Wait(timeout_ms);
}
