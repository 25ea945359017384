// Waiting on several kernel objects at once, and semaphores.
//
//   HANDLE objects[2] = {done_event, dispatch_event};
//   DWORD r = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
//   if (r == WAIT_OBJECT_0 + 1) { /* dispatch_event was signalled */ }
//
// A wait for any one object returns the lowest index among the signalled ones and takes only
// that object (an auto-reset event or a semaphore count is consumed; the others are left).
//
// Every waitable handle type tells the multi-object waiters when it may have become signalled
// by calling halcy::NotifyWaitableSignaled(this) after its state changes; the waiters that
// wait on it then look again. Events and semaphores do so.
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/event.h"
#include "platform/kernel_object.h"
#include "platform/win_types.h"

constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Any-of waits only: `wait_all` TRUE fails with ERROR_NOT_SUPPORTED. Results: WAIT_OBJECT_0 + i,
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set (a bad handle, a count of 0 or above
// MAXIMUM_WAIT_OBJECTS).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD timeout_ms);

// `name` must be null (ERROR_NOT_SUPPORTED otherwise); 0 <= initial <= maximum, maximum > 0.
HANDLE CreateSemaphoreW(void* security_attributes, LONG initial_count, LONG maximum_count,
                        LPCWSTR name);
// Adds `release_count` (> 0); fails with ERROR_TOO_MANY_POSTS (298) past the maximum, leaving
// the count unchanged.
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count);

constexpr DWORD ERROR_TOO_MANY_POSTS = 298;

namespace halcy {

// Wakes the multi-object waiters that wait on `object` so that they look again.
void NotifyWaitableSignaled(const KernelObject* object);
// Wakes every multi-object waiter.
void NotifyWaitableSignaled();

// Waits until one of `objects` is signalled (taking it), `timeout_ms` passes, or `*cancel`
// is set (set it, then call NotifyWaitableSignaled()). Returns the index, WAIT_TIMEOUT, or
// kWaitCancelled.
constexpr DWORD kWaitCancelled = 0xFFFFFFFE;
DWORD WaitForAnyObject(WaitableObject* const* objects, DWORD count, DWORD timeout_ms,
                       const std::atomic<bool>* cancel);

class Semaphore final : public WaitableObject {
 public:
  Semaphore(LONG initial, LONG maximum) : count_(initial), maximum_(maximum) {}

  // False (count unchanged) when the count would pass the maximum.
  bool AddCount(LONG count, LONG* previous);
  DWORD Wait(DWORD timeout_ms) override;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  LONG count_;          // Guarded by mutex_
  const LONG maximum_;  // Constant after construction
};

}  // namespace halcy
