// A counted handle to a message loop that stays valid after the loop is gone. Components that
// post to a loop from other threads (channel proxies, object watchers) keep a reference on the
// proxy, never a raw loop pointer: once the loop is destroyed, a post through the proxy deletes
// its task without running it.
//
//   base::RefPtr<Thread::CMessageLoopProxy> ipc = ...;  // from IThreadService
//   ipc->PostTask(Thread::NewTask(context, &CContext::OnChannelOpened,
//                                 u"&CContext::OnChannelOpened"), 0);
//
// Thread-safe: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/ref_counted.h"

namespace Thread {

class CMessageLoop;
class CTask;

class CMessageLoopProxy : public base::CRefCountedThreadSafe<CMessageLoopProxy> {
 public:
  explicit CMessageLoopProxy(CMessageLoop* loop) : loop_(loop) {}

  // Takes ownership of `task`. True when it was queued; false when the loop is gone (the task
  // has then been deleted, never run).
  bool PostTask(CTask* task, int64_t delay_ms);

  // The loop, or null once it is gone. Borrowed: only its own thread may rely on it staying.
  CMessageLoop* loop();

  // Called by the loop as it is destroyed.
  void OnLoopDestroyed();

 private:
  friend class base::CRefCountedThreadSafe<CMessageLoopProxy>;
  ~CMessageLoopProxy() = default;

  std::mutex lock_;     // a plain mutex, as the loop's incoming lock
  CMessageLoop* loop_;  // Guarded by lock_
};

}  // namespace Thread
