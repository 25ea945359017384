// IPC::CChannelProxy: the thread-safe front of one channel. Any thread may send messages and
// register listeners; each request travels as a task to the IPC thread, where the proxy's
// CContext owns the channel, and each event of the channel travels back as a task to the loop
// of every interested listener. Listeners are chosen by the message's routing id: id 0 goes
// to the broadcast listeners, any other id to the listeners registered for it.
//
//   IPC::CChannelProxy proxy(u"1234.01A2B3C4.5678", 0, ipc_loop);
//   proxy.AddListener(listener, 0);       // hears routing id 0 and the connection state
//   proxy.Send(new IPC::CMessage(false, 0x07000011));
//   proxy.Close();
//
// A listener is called on the loop its GetListenerLoopProxy names; one without a loop proxy
// hears nothing. Messages that arrive while no listener is registered for their id are
// dropped: register before the peer can send (on the IPC thread, a registration made in the
// task that constructs the proxy is in place before the channel's first read). The connection is
// reported once per context, to the first listener whose task runs; errors go to every listener.
//
// Messages sent from other threads gather in the context's send queue; one task hands all that
// have gathered to the channel, so a burst of sends costs one post and leaves the channel a
// batch to write at once. Received messages likewise gather in one inbox per listener, and
// one task on the listener's loop delivers what has gathered, in order.
//
// The channel bounds its output queue and reports a failure once (see IPC::CChannel). Once the
// context has heard of a failure, Send destroys each message at once and returns false, so
// nothing piles up in the send queue behind a channel that refuses; what had gathered before
// is handed over and destroyed by the channel. A synchronous request that the channel does
// not take (or that finds the channel gone) ends its sender's wait (OnRequestNotSent).
//
// Thread contract: Send, AddListener, RemoveListener, AddFilter and Close from any thread; the
// context's channel and listener tables live on the IPC thread (the tables are also guarded
// by `lock` because the IPC thread copies them while registrations change them); dispatch
// tasks run on the listeners' threads. No lock is held while a listener is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "base/lock.h"
#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"
#include "thread/task.h"

namespace Thread {
class CMessageLoop;
class CMessageLoopProxy;
}  // namespace Thread

namespace IPC {

class CChannelProxy : public CMessage::CSender {
 public:
  using CListener = CChannel::CListener;

  // Sees the channel's traffic on the IPC thread before any listener does.
  class CMessageFilter : public base::CRefCountedThreadSafe<CMessageFilter> {
   public:
    virtual void OnFilterAdded(CChannel* channel) {}
    virtual void OnFilterRemoved() {}
    virtual void OnChannelConnected(int32_t peer_pid) {}
    virtual void OnChannelError() {}
    virtual void OnChannelClosing() {}
    // True when the message was handled and no listener should see it.
    virtual bool OnMessageReceived(const CMessage& message) { return false; }

   protected:
    friend class base::CRefCountedThreadSafe<CMessageFilter>;
    virtual ~CMessageFilter() = default;
  };

  class CContext : public CListener {
   public:
    explicit CContext(Thread::CMessageLoop* ipc_loop);

    // CListener, called by the channel on the IPC thread.
    void OnMessageReceived(const CMessage& message) override;
    void OnChannelConnected(int32_t peer_pid) override;
    void OnChannelError() override;

    // IPC thread.
    virtual bool OnAddListener(const base::RefPtr<CListener>& listener, uint32_t routing_id);
    virtual bool OnRemoveListener(const base::RefPtr<CListener>& listener, uint32_t routing_id);
    virtual void ClearListeners();
    virtual void OnChannelOpened();
    virtual void OnChannelClosed();
    void OnAddFilter(const base::RefPtr<CMessageFilter>& filter);

    // Listener threads.
    // Delivers the messages in `listener`'s inbox, in order, until it is empty.
    void OnDispatchInbox(const base::RefPtr<CListener>& listener);
    void OnDispatchConnected(const base::RefPtr<CListener>& listener);
    void OnDispatchError(const base::RefPtr<CListener>& listener);

    // Any thread: takes ownership of `message` and queues it for the channel, posting the
    // task that sends the queue unless one is due already. False (and the queue is dropped)
    // when the IPC loop takes no more tasks; false (and `message` destroyed) once the channel
    // has failed.
    bool QueueSend(CMessage* message);
    // IPC thread: hands every queued message to the channel, in order.
    void OnSendQueued();
    // IPC thread: takes ownership of `message` and hands it to the channel, which reports its
    // own failures; with no channel left the message is destroyed.
    void SendToChannel(CMessage* message);

    // Creating thread: makes the channel (with `peer_check` for a server end, see
    // CChannel::set_peer_check) and its pipe; false when the pipe cannot be had.
    bool CreateChannel(const std::u16string& channel_id, int mode,
                       CChannel::PeerCheck peer_check = nullptr);

    // Borrowed; null once closed. IPC thread.
    CChannel* channel() const { return channel_.get(); }
    Thread::CMessageLoopProxy* ipc_loop() const { return ipc_loop_.get(); }
    int32_t peer_pid() const { return peer_pid_; }

   protected:
    ~CContext() override;

    // IPC thread: the channel refused the synchronous request with `serial_number`, or was gone,
    // so no reply will come for it.
    virtual void OnRequestNotSent(int64_t serial_number) {}

    // Offers `message` to the filters in order; true when one handled it. IPC thread.
    bool FilterMessage(const CMessage& message);
    // The listeners for `routing_id`, each referenced. Takes `lock_`.
    std::vector<base::RefPtr<CListener>> ListenersFor(uint32_t routing_id);
    void ListenersFor(uint32_t routing_id, std::vector<base::RefPtr<CListener>>* out);
    // Every listener, routed ones first. Takes `lock_`.
    std::vector<base::RefPtr<CListener>> AllListeners();
    // Posts the task that empties `listener`'s inbox on `loop`; drops the inbox when the loop
    // takes no more tasks.
    void PostInbox(Thread::CMessageLoopProxy* loop, const base::RefPtr<CListener>& listener);
    // Posts `method` for each listener that names a loop; the others are skipped.
    void PostToListeners(const std::vector<base::RefPtr<CListener>>& listeners,
                         void (CContext::*method)(const base::RefPtr<CListener>&),
                         const char16_t* name);

    base::CLock lock_;
    std::multimap<uint32_t, base::RefPtr<CListener>> routed_listeners_;  // Guarded by lock_
    std::list<base::RefPtr<CListener>> broadcast_listeners_;             // Guarded by lock_
    std::vector<base::RefPtr<CMessageFilter>> filters_;                  // IPC thread
    // IPC thread: the listeners of the message being dispatched, kept to reuse its storage.
    std::vector<base::RefPtr<CListener>> dispatch_targets_;
    base::RefPtr<Thread::CMessageLoopProxy> ipc_loop_;  // Constant after construction
    base::RefPtr<CChannel> channel_;                    // IPC thread (set before hand-over)
    std::u16string channel_id_;                         // Constant after CreateChannel
    std::atomic<int32_t> peer_pid_{0};
    std::atomic<bool> connected_dispatched_{false};
    // Set when the channel's failure is reported; from then on QueueSend refuses.
    std::atomic<bool> failed_{false};
    bool opened_ = false;  // IPC thread: a self-reference is held for the open channel
    // Messages sent and not yet handed to the channel, owned. Non-empty exactly while an
    // OnSendQueued task is due that has not taken them.
    base::CLock send_lock_;
    std::vector<CMessage*> send_queue_;  // Guarded by send_lock_
    // Copies of received messages not yet delivered, owned, by listener. A listener has an
    // entry exactly while an OnDispatchInbox task for it is due or running (possibly empty
    // while that task delivers what it took).
    base::CLock inbox_lock_;
    std::map<const CListener*, std::deque<CMessage*>> inboxes_;  // Guarded by inbox_lock_
  };

  // Creates the context and the channel's pipe, then opens the channel on `ipc_loop`.
  CChannelProxy(const std::u16string& channel_id, int mode, Thread::CMessageLoop* ipc_loop);
  // Closes the channel unless Close was called.
  ~CChannelProxy() override;

  // Takes ownership of `message`; true when it was queued for the IPC thread, false when it was
  // destroyed at once (the channel failed, or the IPC loop is gone). A message sent after Close
  // is destroyed on the IPC thread unwritten.
  bool Send(CMessage* message) override;
  virtual void Close();

  // Each posts its request to the IPC thread and returns true.
  bool AddListener(CListener* listener, uint32_t routing_id);
  bool RemoveListener(CListener* listener, uint32_t routing_id);
  void AddFilter(CMessageFilter* filter);

  CContext* context() const { return context_.get(); }
  // False when the constructor could not create (server) or open (client) the pipe: such a
  // proxy never connects, and a client end learns of it only by this or by its first Send.
  bool pipe_created() const { return pipe_created_; }

 protected:
  // For derived proxies with their own context; runs Init.
  CChannelProxy(CContext* context, const std::u16string& channel_id, int mode,
                CChannel::PeerCheck peer_check = nullptr);
  void Init(const std::u16string& channel_id, int mode, CChannel::PeerCheck peer_check);
  bool PostListenerTask(bool (CContext::*method)(const base::RefPtr<CListener>&, uint32_t),
                        const char16_t* name, CListener* listener, uint32_t routing_id);

  base::RefPtr<CContext> context_;
  std::atomic<bool> closed_{false};
  bool pipe_created_ = false;  // Constant after construction
};

// Queues its message on the context's channel on the IPC thread; with no channel left the
// message is destroyed.
class CSendTask final : public Thread::CTask {
 public:
  // Takes ownership of `message`.
  CSendTask(CChannelProxy::CContext* context, CMessage* message);
  ~CSendTask() override;
  void Run() override;

 private:
  base::RefPtr<CChannelProxy::CContext> context_;
  CMessage* message_;
};

}  // namespace IPC
