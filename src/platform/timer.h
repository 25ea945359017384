// One-shot timers of the browser's common utility library, by callback object and timer id.
// A timer fires once, on the thread that set it, through that thread's message loop; the
// browser (the host) supplies the loops through `halcy::IDelayedCallRunner`, registered with
// the object factory.
//
//   Util::Common::Timer::SetOneTimer(5000, callback, 8084);      // on the UI thread
//   ...                                                          // callback->OnTimer(8084)
//   Util::Common::Timer::EraseTimerCallback(callback, 8084);     // before it fires: never fires
//
// A timer holds a reference on its callback until it has fired or been erased (or its thread's
// loop went away). Setting the same callback and id again replaces the earlier timer.
// Thread-safe: any thread may set or erase; the callback runs on the setting thread with no
// lock held, so it may set or erase timers itself.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/com.h"

struct ITimerCallback : IUnknown {
  static constexpr IID kIID = MakeGuid("849E1255-6599-4681-9CDC-948D0ADB0B4F");
  virtual HRESULT OnTimer(UINT timer_id) = 0;
};

namespace halcy {

// The browser's side: runs `fire` on the thread `thread_id` after `delay_ms`. E_INVALIDARG
// when that thread has no loop. `fire` is destroyed unrun when the loop ends first.
struct IDelayedCallRunner : IUnknown {
  static constexpr IID kIID = MakeGuid("3C2A880D-B162-4A4B-B3F2-CCB884010F33");
  virtual HRESULT RunLater(DWORD thread_id, int64_t delay_ms, std::function<void()> fire) = 0;
};

}  // namespace halcy

namespace Util::Common::Timer {

// FALSE for a null callback, or when the calling thread has no loop (no runner registered,
// or the runner refuses).
BOOL SetOneTimer(UINT elapse_ms, ITimerCallback* callback, UINT timer_id);
// TRUE when a timer of `callback` with `timer_id` was waiting; it will not fire.
BOOL EraseTimerCallback(ITimerCallback* callback, UINT timer_id);

}  // namespace Util::Common::Timer
