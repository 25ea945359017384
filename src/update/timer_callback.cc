#include "update/timer_callback.h"

#include <utility>

namespace Logic {

void CTimerCallback::SetTarget(std::function<void(UINT timer_id)> target) {
  base::CAutoLock lock(lock_);
  target_ = std::move(target);
}

void CTimerCallback::ClearTarget() {
  std::function<void(UINT)> old;  // destroyed outside the lock
  base::CAutoLock lock(lock_);
  old.swap(target_);
}

HRESULT CTimerCallback::OnTimer(UINT timer_id) {
  std::function<void(UINT)> target;
  {
    base::CAutoLock lock(lock_);
    target = target_;
  }
  if (!target) return S_FALSE;
  target(timer_id);
  return S_OK;
}

}  // namespace Logic
