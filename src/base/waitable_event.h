// base::CWaitableEvent: a manual-reset event object owning one event handle, and WaitMany,
// which waits for the first of a few events.
//
//   base::CWaitableEvent done(false);
//   // another thread: done.Signal();
//   if (done.TimedWait(1000)) { /* signalled within a second */ }
//
//   base::CWaitableEvent* events[] = {&done, dispatch};  // null entries are skipped
//   base::CWaitableEvent* fired = base::CWaitableEvent::WaitMany(events, 2);
//
// Each operation goes through the platform library when it is switched on for waitable
// objects (Signal: when the library is on at all), else through the plain system call.
// Thread-safe: Signal, Reset and the waits from any thread; Close and destruction while no
// other thread uses the event.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace base {

class CWaitableEvent {
 public:
  explicit CWaitableEvent(bool initially_signaled);
  // Wraps the manual-reset event `handle` that someone else owns (the browser's shutdown event,
  // say): it must stay open while this object lives, and Close does not close it.
  struct Borrowed {};
  CWaitableEvent(Borrowed, HANDLE handle);
  ~CWaitableEvent();
  CWaitableEvent(const CWaitableEvent&) = delete;
  CWaitableEvent& operator=(const CWaitableEvent&) = delete;

  void Signal();
  void Reset();
  // True exactly when the wait ended with the event signalled.
  bool TimedWait(DWORD timeout_ms);
  void Close();

  // Borrowed: valid until Close.
  HANDLE handle() const { return handle_; }

  // Waits without limit for any of the first `count` (at most 3) entries of `events`, skipping
  // null ones; returns the one signalled, or null when the wait failed.
  static CWaitableEvent* WaitMany(CWaitableEvent* const* events, size_t count);

 private:
  HANDLE handle_;
  bool owned_ = true;  // Constant after construction
};

}  // namespace base
