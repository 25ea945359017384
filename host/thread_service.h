// The browser's thread service and loop registry, one COM object answering IThreadService,
// IMessageLoopRegistry and the platform timers' IDelayedCallRunner. It routes every post through
// the target loop's proxy, so a post to a thread that has ended deletes the task instead of
// touching a dead loop.
//
// The host's threads announce themselves with SetThread (kind → thread id and proxy) and
// RegisterMessageLoop (thread id → loop) as they start, and withdraw the loop before it is
// destroyed; the kind entry stays, so later posts by kind are deleted cleanly.
//
// Free-threaded: every method from any thread. No lock is held while a loop or proxy is called.
#pragma once

#include <map>
#include <mutex>
#include <unordered_map>

#include "base/ref_counted.h"
#include "platform/com_object.h"
#include "platform/timer.h"
#include "thread/message_loop_proxy.h"
#include "thread/thread_service.h"

namespace host {

class CThreadService : public halcy::ComObjectRoot,
                       public Thread::IThreadService,
                       public Thread::IMessageLoopRegistry,
                       public halcy::IDelayedCallRunner {
 public:
  HALCY_BEGIN_INTERFACES(CThreadService)
  HALCY_INTERFACE(CThreadService, Thread::IThreadService)
  HALCY_INTERFACE(CThreadService, Thread::IMessageLoopRegistry)
  HALCY_INTERFACE(CThreadService, halcy::IDelayedCallRunner)
  HALCY_END_INTERFACES()

  // IThreadService
  HRESULT GetThreadId(int kind, DWORD* thread_id) override;
  HRESULT GetMessageLoop(int kind, Thread::CMessageLoop** loop) override;
  HRESULT PostTask(int kind, Thread::CTask* task) override;
  HRESULT PostTaskToThread(DWORD thread_id, Thread::CTask* task) override;
  HRESULT GetMessageLoopProxy(int kind, Thread::CMessageLoopProxy** proxy) override;

  // IMessageLoopRegistry
  HRESULT RegisterMessageLoop(DWORD thread_id, Thread::CMessageLoop* loop) override;
  HRESULT UnregisterMessageLoop(DWORD thread_id) override;
  HRESULT GetMessageLoopForThread(DWORD thread_id, Thread::CMessageLoop** loop) override;

  // IDelayedCallRunner: a delayed task named "timer" on that thread's loop.
  HRESULT RunLater(DWORD thread_id, int64_t delay_ms, std::function<void()> fire) override;

  // Host side: names the thread of `kind` and the proxy of its loop.
  void SetThread(int kind, DWORD thread_id, Thread::CMessageLoopProxy* proxy);

 private:
  struct KindEntry {
    DWORD thread_id;
    base::RefPtr<Thread::CMessageLoopProxy> proxy;
  };
  struct LoopEntry {
    Thread::CMessageLoop* loop;
    base::RefPtr<Thread::CMessageLoopProxy> proxy;
  };

  base::RefPtr<Thread::CMessageLoopProxy> ProxyForKind(int kind);
  base::RefPtr<Thread::CMessageLoopProxy> ProxyForThread(DWORD thread_id);

  std::mutex lock_;
  std::map<int, KindEntry> kinds_;              // Guarded by lock_
  std::unordered_map<DWORD, LoopEntry> loops_;  // Guarded by lock_
};

}  // namespace host
