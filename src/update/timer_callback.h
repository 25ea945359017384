// CTimerCallback: the timer callback object of the tracker and the install guide. The owner
// points it at one of its steps before setting a timer and clears the target when it stops,
// so that a timer firing late calls nothing.
//
//   ComPtr<CTimerCallback> callback = halcy::MakeComObject<CTimerCallback>();
//   callback->SetTarget([this](UINT) { _StartWork_Internal(); });
//   Util::Common::Timer::SetOneTimer(delay, callback.Get(), 8083);   // on the UI thread
//   ...
//   callback->ClearTarget();                                          // at Stop
//
// Thread-safe: the target may be set or cleared on any thread while the timer fires on
// another; it is called without the lock, so it may clear itself.
#pragma once

#include <functional>

#include "base/lock.h"
#include "base/thread_annotations.h"
#include "platform/com_object.h"
#include "platform/timer.h"

namespace Logic {

class CTimerCallback : public halcy::ComObjectRoot, public ITimerCallback {
 public:
  HALCY_BEGIN_INTERFACES(CTimerCallback)
  HALCY_INTERFACE(CTimerCallback, ITimerCallback)
  HALCY_END_INTERFACES()

  void SetTarget(std::function<void(UINT timer_id)> target);
  void ClearTarget();

  // ITimerCallback: calls the target, if any.
  HRESULT OnTimer(UINT timer_id) override;

 private:
  base::CLock lock_;
  std::function<void(UINT)> target_ GUARDED_BY(lock_);
};

}  // namespace Logic
