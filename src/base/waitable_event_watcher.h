// base::CWaitableEventWatcher: an object watcher for a base::CWaitableEvent whose delegate
// hears of the event itself.
//
//   watcher.StartWatching(&shutdown_event, this);
//   void OnWaitableEventSignaled(base::CWaitableEvent* event) override { ... }
//
// As with base::CObjectWatcher, the delegate runs on the watching thread on a later turn of its
// loop, never inside StartWatching, and not after StopWatching. Starting on an event that is
// already signalled logs "STRANGE : the event want to watch is signaled" and still reports
// the event on a later turn.
//
// Thread contract: all methods on the watching thread; the event and the delegate must outlive
// the watch.
#pragma once

#include "base/object_watcher.h"

namespace base {

class CWaitableEvent;

class CWaitableEventWatcher {
 public:
  class CDelegate {
   public:
    virtual ~CDelegate() = default;
    virtual void OnWaitableEventSignaled(CWaitableEvent* event) = 0;
  };

  CWaitableEventWatcher();
  ~CWaitableEventWatcher();
  CWaitableEventWatcher(const CWaitableEventWatcher&) = delete;
  CWaitableEventWatcher& operator=(const CWaitableEventWatcher&) = delete;

  // False when a watch is active or the wait cannot be registered.
  bool StartWatching(CWaitableEvent* event, CDelegate* delegate);
  void StopWatching();

  // The event of the active watch, or null.
  CWaitableEvent* GetWatchedEvent() const { return event_; }
  CDelegate* delegate() const { return delegate_; }
  // Whether the last watch ended with the event reported.
  bool signaled() const { return signaled_; }

 private:
  class CObjectWatcherHelper final : public CObjectWatcher::CDelegate {
   public:
    explicit CObjectWatcherHelper(CWaitableEventWatcher* watcher) : watcher_(watcher) {}
    void OnObjectSignaled(HANDLE object) override;

   private:
    CWaitableEventWatcher* const watcher_;
  };

  void OnObjectSignaled();

  CWaitableEvent* event_ = nullptr;
  CDelegate* delegate_ = nullptr;
  bool signaled_ = false;
  CObjectWatcherHelper helper_;
  CObjectWatcher watcher_;
};

}  // namespace base
