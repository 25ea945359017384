// IPC::CSyncChannelProxy: a channel proxy with blocking request/reply calls. A thread sends a
// synchronous message (flag bit 0) and blocks until the reply with the same serial number
// arrives, the time-out passes, the channel fails or closes, or the browser's shutdown event
// is signalled. While it blocks, messages that the peer marks "dispatch while blocked" (flag
// bit 3) are still delivered to that thread's listener, on that thread, so the two processes
// cannot block each other.
//
//   IPC::CSyncChannelProxy proxy(id, 0, ipc_loop, &shutdown_event);
//   proxy.AddListener(host, 0);
//   IPC::CMessage* reply = nullptr;
//   if (proxy.SendSyncWithTimeout(request, &reply, host, 1000)) { ...; delete reply; }
//
// Replies are matched on the IPC thread, which signals the waiting thread through the send's
// own event. Each registered listener has a receive queue for its dispatch-while-blocked
// messages, drained by a task on its loop or by the listener's thread while it waits.
//
// Thread contract: SendSync and SendSyncWithTimeout from any thread with a message loop
// (they block it); the context's operations on the IPC thread; queued messages are delivered
// on the listener's thread. `pending_lock` and `recv_queues_lock` are held only briefly and
// never while a listener is called.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "base/lock.h"
#include "base/waitable_event.h"
#include "base/waitable_event_watcher.h"
#include "ipc/ipc_channel_proxy.h"

namespace IPC {

class CSyncChannelProxy : public CChannelProxy {
 public:
  class CSyncContext;

  // The messages of one listener that must reach it even while its thread is blocked.
  class CRecvSyncMsgQueue : public base::CRefCountedThreadSafe<CRecvSyncMsgQueue>,
                            public base::CWaitableEventWatcher::CDelegate {
   public:
    explicit CRecvSyncMsgQueue(CListener* listener);

    // IPC thread: queues a copy of `message` for the listener and wakes its thread.
    void QueueMessage(const CMessage& message);
    // Listener's thread: delivers everything queued.
    void DispatchMessages();
    // The task posted by QueueMessage.
    void DispatchMessagesTask();

    base::CWaitableEvent* dispatch_event() { return &dispatch_event_; }
    CListener* listener() const { return listener_.get(); }

    // The send whose done event the listener's thread is watching while it runs a nested
    // loop; saved and restored around inner sends. Listener's thread only.
    struct WatchContext {
      base::CWaitableEvent* event = nullptr;
      base::CWaitableEventWatcher::CDelegate* delegate = nullptr;
    };
    base::CWaitableEventWatcher* send_done_watcher() { return &send_done_watcher_; }
    // Watches the dispatch event during a nested loop (listener's thread).
    void StartDispatchWatch();
    void StopDispatchWatch();

    void OnWaitableEventSignaled(base::CWaitableEvent* event) override;

   private:
    friend class base::CRefCountedThreadSafe<CRecvSyncMsgQueue>;
    ~CRecvSyncMsgQueue() override;

    base::CLock lock_;
    std::deque<std::pair<CMessage*, base::RefPtr<CListener>>> queue_;  // Guarded by lock_
    bool task_pending_ = false;                                        // Guarded by lock_
    base::CWaitableEvent dispatch_event_;
    base::RefPtr<CListener> listener_;  // Constant after construction
    base::CWaitableEventWatcher send_done_watcher_;
    base::CWaitableEventWatcher dispatch_watcher_;
  };

  class CSyncContext : public CContext, public base::CWaitableEventWatcher::CDelegate {
   public:
    CSyncContext(Thread::CMessageLoop* ipc_loop, base::CWaitableEvent* shutdown_event);

    // Calling thread.
    bool SendSyncWithTimeout(CMessage* message, CMessage** reply, CListener* listener,
                             DWORD timeout_ms, CChannelProxy* sender);

    // IPC thread.
    void OnMessageReceived(const CMessage& message) override;
    void OnChannelError() override;
    bool OnAddListener(const base::RefPtr<CListener>& listener, uint32_t routing_id) override;
    bool OnRemoveListener(const base::RefPtr<CListener>& listener, uint32_t routing_id) override;
    void ClearListeners() override;
    void OnChannelOpened() override;
    void OnChannelClosed() override;
    void OnSendTimeout(int64_t serial_number);
    // True when `reply` matched a pending send.
    bool TryToUnblockListener(const CMessage& reply);
    void CancelPendingSends();

    // Shutdown watcher (IPC thread) and send-done watches (listener's thread).
    void OnWaitableEventSignaled(base::CWaitableEvent* event) override;

    // Number of synchronous sends in progress.
    size_t pending_send_count();

   protected:
    ~CSyncContext() override;

    // Ends the wait of the send with `serial_number`, with no reply.
    void OnRequestNotSent(int64_t serial_number) override;

   private:
    struct PendingSend {
      int64_t serial_number;
      CMessage* reply;  // owned
      std::unique_ptr<base::CWaitableEvent> done_event;
      bool send_result;
      uint32_t type;
      uint32_t sender_routing_id;
    };

    base::RefPtr<CRecvSyncMsgQueue> QueueFor(CListener* listener);
    void WaitForReply(CListener* listener, base::CWaitableEvent* done_event,
                      base::CWaitableEvent* pump_event);
    void WaitForReplyWithNestedMessageLoop(CListener* listener, base::CWaitableEvent* done_event);
    void StopShutdownWatch();
    // Signals the done event of every pending send for which `match` holds.
    template <class Match>
    void SignalPendingSends(Match match);

    std::map<int64_t, PendingSend> pending_sends_;  // Guarded by pending_lock_
    base::CLock pending_lock_;
    std::map<CListener*, base::RefPtr<CRecvSyncMsgQueue>> recv_queues_;  // recv_queues_lock_
    base::CLock recv_queues_lock_;
    base::CWaitableEvent* const shutdown_event_;    // borrowed from the creator
    base::CWaitableEventWatcher shutdown_watcher_;  // IPC thread
  };

  // `shutdown_event` is borrowed and must outlive the proxy; it may be null. `peer_check`, for a
  // server end, admits only the client processes it accepts (CChannel::set_peer_check).
  CSyncChannelProxy(const std::u16string& channel_id, int mode, Thread::CMessageLoop* ipc_loop,
                    base::CWaitableEvent* shutdown_event, CChannel::PeerCheck peer_check = nullptr);
  ~CSyncChannelProxy() override;

  void Close() override;
  // SendSyncWithTimeout without a time-out.
  virtual bool SendSync(CMessage* message, CMessage** reply, CListener* listener);
  // Takes ownership of `message`. A message that is not synchronous, or is a reply, is sent
  // asynchronously and the call returns true. Otherwise blocks until the reply (true, and
  // `*reply` owned by the caller), a reply error, the time-out (ms, 0 = none), a channel
  // failure or shutdown (false, `*reply` null).
  virtual bool SendSyncWithTimeout(CMessage* message, CMessage** reply, CListener* listener,
                                   DWORD timeout_ms);

  CSyncContext* sync_context() const;
};

}  // namespace IPC
