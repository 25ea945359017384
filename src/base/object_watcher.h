// base::CObjectWatcher turns the signalling of a kernel object into a call on the thread that
// asked: StartWatching registers a one-shot thread-pool wait; when the object fires, the wait
// thread posts the watch to the watching thread's loop, which calls the delegate there.
//
//   class CReady : public base::CObjectWatcher::CDelegate {
//     void OnObjectSignaled(HANDLE object) override { /* on the watching thread */ }
//   };
//   watcher.StartWatching(event_handle, &ready);  // false if already watching
//
// The delegate is never called inside StartWatching, even for an object that is already
// signalled, and never after StopWatching has returned. The watch ends by itself just before
// the delegate is called, and when the watching thread's loop is destroyed.
//
// Thread contract: StartWatching, StopWatching and destruction on the watching thread (the
// thread of a message loop); the delegate must outlive the watch.
#pragma once

#include "base/destruction_observer.h"
#include "platform/thread_pool_wait.h"
#include "platform/win_types.h"

namespace base {

class CObjectWatcher : public CDestructionObserver {
 public:
  class CDelegate {
   public:
    virtual ~CDelegate() = default;
    virtual void OnObjectSignaled(HANDLE object) = 0;
  };

  CObjectWatcher() = default;
  ~CObjectWatcher() override;  // stops watching
  CObjectWatcher(const CObjectWatcher&) = delete;
  CObjectWatcher& operator=(const CObjectWatcher&) = delete;

  // False when a watch is active or the wait cannot be registered (nothing is left behind).
  bool StartWatching(HANDLE object, CDelegate* delegate);
  // False when no watch is active, or when the wait cannot be unregistered (the watch stays).
  bool StopWatching();
  bool IsWatching() const { return watch_ != nullptr; }
  // The watched object, or null.
  HANDLE GetWatchedObject() const;

  void WillDestroyCurrentMessageLoop() override;

 private:
  class CWatchContext;
  static void DoneWaiting(void* context, BOOLEAN timed_out);

  CWatchContext* watch_ = nullptr;  // Touched only on the watching thread
};

}  // namespace base
