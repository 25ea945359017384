// Event objects: the manual- or auto-reset events that HANDLEs name, with WaitForSingleObject.
// The browser hands the module its shutdown event this way; waits on several objects at once
// and thread-pool waits are not here yet.
//
//   HANDLE shutdown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
//   SetEvent(shutdown);
//   if (WaitForSingleObject(shutdown, 0) == WAIT_OBJECT_0) { /* signalled */ }
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel_object.h"
#include "platform/win_types.h"

// `name` must be null (named events are not supported: ERROR_NOT_SUPPORTED).
HANDLE CreateEventW(void* security_attributes, BOOL manual_reset, BOOL initial_state, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForSingleObject(HANDLE object, DWORD timeout_ms);

namespace halcy {

// A handle type that WaitForSingleObject can wait on.
class WaitableObject : public KernelObject {
 public:
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD timeout_ms) = 0;
};

class Event final : public WaitableObject {
 public:
  Event(bool manual_reset, bool signaled) : manual_reset_(manual_reset), signaled_(signaled) {}

  void Set();
  void Reset();
  DWORD Wait(DWORD timeout_ms) override;

 private:
  const bool manual_reset_;  // Constant after construction
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_;  // Guarded by mutex_
};

}  // namespace halcy
