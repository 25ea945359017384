#include "base/waitable_event_watcher.h"

#include "base/waitable_event.h"
#include "common/log.h"

namespace base {

CWaitableEventWatcher::CWaitableEventWatcher() : helper_(this) {}

CWaitableEventWatcher::~CWaitableEventWatcher() { StopWatching(); }

bool CWaitableEventWatcher::StartWatching(CWaitableEvent* event, CDelegate* delegate) {
  if (watcher_.IsWatching()) return false;
  event_ = event;
  delegate_ = delegate;
  signaled_ = false;
  if (event->TimedWait(0)) {
    Logic::Log(Logic::kLogProgress, u"oldlog;", u"STRANGE : the event want to watch is signaled");
  }
  if (watcher_.StartWatching(event->handle(), &helper_)) return true;
  event_ = nullptr;
  delegate_ = nullptr;
  return false;
}

void CWaitableEventWatcher::StopWatching() {
  event_ = nullptr;
  delegate_ = nullptr;
  watcher_.StopWatching();
}

void CWaitableEventWatcher::CObjectWatcherHelper::OnObjectSignaled(HANDLE /*object*/) {
  watcher_->OnObjectSignaled();
}

void CWaitableEventWatcher::OnObjectSignaled() {
  CWaitableEvent* event = event_;
  CDelegate* delegate = delegate_;
  event_ = nullptr;
  delegate_ = nullptr;
  if (!delegate) return;
  signaled_ = true;
  delegate->OnWaitableEventSignaled(event);
}

}  // namespace base
