#include "ipc/ipc_sync_channel.h"

#include <new>

#include "common/log.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/thread_post.h"

namespace IPC {

namespace {

using base::RefPtr;
using CListener = CChannel::CListener;

void LogSync(const char16_t* format) { Logic::Log(Logic::kLogProgress, u"oldlog;", format); }

}  // namespace

// ---- CRecvSyncMsgQueue ----

CSyncChannelProxy::CRecvSyncMsgQueue::CRecvSyncMsgQueue(CListener* listener)
    : dispatch_event_(false), listener_(listener) {}

CSyncChannelProxy::CRecvSyncMsgQueue::~CRecvSyncMsgQueue() {
  for (auto& entry : queue_) delete entry.first;
}

void CSyncChannelProxy::CRecvSyncMsgQueue::QueueMessage(const CMessage& message) {
  auto* copy = new (std::nothrow) CMessage(message);
  if (!copy) return;
  bool was_pending;
  {
    base::CAutoLock hold(lock_);
    was_pending = task_pending_;
    task_pending_ = true;
    queue_.emplace_back(copy, listener_);
  }
  dispatch_event_.Signal();
  if (was_pending) return;
  Thread::CMessageLoopProxy* raw = nullptr;
  listener_->GetListenerLoopProxy(&raw);
  auto loop = RefPtr<Thread::CMessageLoopProxy>::Adopt(raw);
  if (!loop) return;
  if (Thread::CTask* task = Thread::NewTask(this, &CRecvSyncMsgQueue::DispatchMessagesTask,
                                            u"&CRecvSyncMsgQueue::DispatchMessagesTask")) {
    loop->PostTask(task, 0);
  }
}

void CSyncChannelProxy::CRecvSyncMsgQueue::DispatchMessagesTask() {
  {
    base::CAutoLock hold(lock_);
    task_pending_ = false;
  }
  DispatchMessages();
}

void CSyncChannelProxy::CRecvSyncMsgQueue::DispatchMessages() {
  dispatch_event_.Reset();
  lock_.Acquire();
  while (!queue_.empty()) {
    std::pair<CMessage*, RefPtr<CListener>> entry = std::move(queue_.front());
    queue_.pop_front();
    lock_.Release();
    entry.second->OnMessageReceived(*entry.first);
    // Destroyed before the next one runs, with no lock held.
    delete entry.first;
    entry.second = nullptr;
    lock_.Acquire();
  }
  lock_.Release();
}

void CSyncChannelProxy::CRecvSyncMsgQueue::StartDispatchWatch() {
  dispatch_watcher_.StartWatching(&dispatch_event_, this);
}

void CSyncChannelProxy::CRecvSyncMsgQueue::StopDispatchWatch() { dispatch_watcher_.StopWatching(); }

void CSyncChannelProxy::CRecvSyncMsgQueue::OnWaitableEventSignaled(base::CWaitableEvent* event) {
  event->Reset();
  dispatch_watcher_.StartWatching(event, this);  // logs when it is signalled again already
  Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
  if (!loop) return;
  if (Thread::CTask* task = Thread::NewTask(this, &CRecvSyncMsgQueue::DispatchMessages,
                                            u"&CRecvSyncMsgQueue::DispatchMessages")) {
    loop->PostTask(task, 0);
  }
}

// ---- CSyncContext ----

CSyncChannelProxy::CSyncContext::CSyncContext(Thread::CMessageLoop* ipc_loop,
                                              base::CWaitableEvent* shutdown_event)
    : CContext(ipc_loop), shutdown_event_(shutdown_event) {}

CSyncChannelProxy::CSyncContext::~CSyncContext() {
  for (auto& entry : pending_sends_) delete entry.second.reply;
}

size_t CSyncChannelProxy::CSyncContext::pending_send_count() {
  base::CAutoLock hold(pending_lock_);
  return pending_sends_.size();
}

RefPtr<CSyncChannelProxy::CRecvSyncMsgQueue> CSyncChannelProxy::CSyncContext::QueueFor(
    CListener* listener) {
  base::CAutoLock hold(recv_queues_lock_);
  auto it = recv_queues_.find(listener);
  return it == recv_queues_.end() ? nullptr : it->second;
}

bool CSyncChannelProxy::CSyncContext::SendSyncWithTimeout(CMessage* message, CMessage** reply,
                                                          CListener* listener, DWORD timeout_ms,
                                                          CChannelProxy* sender) {
  if (reply) *reply = nullptr;
  if (!message->is_sync() || message->is_reply()) {
    sender->Send(message);
    return true;
  }
  if (shutdown_event_ && shutdown_event_->TimedWait(0)) {
    delete message;
    return false;
  }
  const int64_t serial = message->serial_number();
  base::CWaitableEvent* pump_event = message->pump_messages_event();
  base::CWaitableEvent* done_event;
  {
    base::CAutoLock hold(pending_lock_);
    PendingSend& record = pending_sends_[serial];
    record = PendingSend{serial, nullptr,         std::make_unique<base::CWaitableEvent>(false),
                         false,  message->type(), message->sender_routing_id()};
    done_event = record.done_event.get();
  }
  if (!sender->Send(message)) {
    // Destroyed unsent (the channel failed, or the IPC loop is gone): no reply can come.
    base::CAutoLock hold(pending_lock_);
    pending_sends_.erase(serial);
    return false;
  }
  if (timeout_ms != 0) {
    if (Thread::CTask* task = Thread::NewTask(this, &CSyncContext::OnSendTimeout,
                                              u"&CSyncContext::OnSendTimeout", serial)) {
      ipc_loop_->PostTask(task, timeout_ms);
    }
  }
  WaitForReply(listener, done_event, pump_event);

  base::CAutoLock hold(pending_lock_);
  auto it = pending_sends_.find(serial);
  const bool result = it->second.send_result;
  if (reply) {
    *reply = it->second.reply;
  } else {
    delete it->second.reply;
  }
  pending_sends_.erase(it);  // closes the done event
  return result;
}

void CSyncChannelProxy::CSyncContext::WaitForReply(CListener* listener,
                                                   base::CWaitableEvent* done_event,
                                                   base::CWaitableEvent* pump_event) {
  for (;;) {
    RefPtr<CRecvSyncMsgQueue> queue = QueueFor(listener);
    base::CWaitableEvent* dispatch_event = queue ? queue->dispatch_event() : nullptr;
    base::CWaitableEvent* events[3] = {done_event, dispatch_event, pump_event};
    base::CWaitableEvent* fired = base::CWaitableEvent::WaitMany(events, 3);
    if (fired && fired == dispatch_event) {
      // The peer's dispatch-while-blocked messages reach the listener on this thread.
      dispatch_event->Reset();
      queue->DispatchMessages();
      continue;
    }
    if (fired && fired == pump_event) WaitForReplyWithNestedMessageLoop(listener, done_event);
    return;
  }
}

void CSyncChannelProxy::CSyncContext::WaitForReplyWithNestedMessageLoop(
    CListener* listener, base::CWaitableEvent* done_event) {
  Logic::Log(Logic::kLogProgress, u"oldlog;",
             u"listener 0x%p is waiting for reply with nested messageloop, Done Event is 0x%p\n",
             listener, done_event);
  RefPtr<CRecvSyncMsgQueue> queue = QueueFor(listener);
  Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
  if (!queue || !loop) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"sync msg queue is empty\n");
    return;
  }
  base::CWaitableEventWatcher* watcher = queue->send_done_watcher();
  // An outer send of this thread may be watching its own done event: set it aside.
  const CRecvSyncMsgQueue::WatchContext saved{watcher->GetWatchedEvent(), watcher->delegate()};
  if (saved.event) watcher->StopWatching();
  watcher->StartWatching(done_event, this);
  queue->StartDispatchWatch();

  const bool old_allowed = loop->nestable_tasks_allowed();
  loop->SetNestableTasksAllowed(true);
  loop->RunNested();  // until the done event's delegate quits it
  loop->SetNestableTasksAllowed(old_allowed);

  queue->StopDispatchWatch();
  watcher->StopWatching();
  if (!saved.event) return;
  if (!saved.event->TimedWait(0)) {
    watcher->StartWatching(saved.event, saved.delegate);
  } else {
    LogSync(u"plan to start watch old send done event, but it has signaled");
  }
}

void CSyncChannelProxy::CSyncContext::OnWaitableEventSignaled(base::CWaitableEvent* event) {
  if (event == shutdown_event_) {
    LogSync(u"shut down event triggered\n");
    CancelPendingSends();
    return;
  }
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Send done event : %p\n", event);
  Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
  if (loop && loop->is_running()) loop->QuitNow();
}

void CSyncChannelProxy::CSyncContext::OnMessageReceived(const CMessage& message) {
  if (FilterMessage(message)) return;
  if (message.is_reply()) {
    TryToUnblockListener(message);  // a reply nobody waits for any more is dropped
    return;
  }
  if (message.should_dispatch_while_blocked()) {
    std::vector<RefPtr<CListener>> listeners = ListenersFor(message.routing_id());
    if (listeners.empty()) return;
    if (RefPtr<CRecvSyncMsgQueue> queue = QueueFor(listeners.front().get())) {
      queue->QueueMessage(message);
    }
    return;
  }
  CContext::OnMessageReceived(message);
}

bool CSyncChannelProxy::CSyncContext::TryToUnblockListener(const CMessage& reply) {
  base::CAutoLock hold(pending_lock_);
  auto it = pending_sends_.find(reply.serial_number());
  if (it == pending_sends_.end()) return false;
  PendingSend& record = it->second;
  if (!reply.is_reply_error()) {
    record.send_result = true;
    delete record.reply;  // a repeated reply replaces the first
    record.reply = new (std::nothrow) CMessage(reply);
  }
  record.done_event->Signal();
  return true;
}

void CSyncChannelProxy::CSyncContext::OnSendTimeout(int64_t serial_number) {
  base::CAutoLock hold(pending_lock_);
  auto it = pending_sends_.find(serial_number);
  if (it == pending_sends_.end()) return;
  PendingSend& record = it->second;
  record.done_event->Signal();
  record.send_result = false;
  Logic::Log(Logic::kLogProgress, u"oldlog;",
             u"Message (%x) send timeout, serial number : %I64d, Done event : %p\n", record.type,
             serial_number, record.done_event.get());
}

template <class Match>
void CSyncChannelProxy::CSyncContext::SignalPendingSends(Match match) {
  base::CAutoLock hold(pending_lock_);
  for (auto& entry : pending_sends_) {
    if (match(entry.second)) entry.second.done_event->Signal();
  }
}

void CSyncChannelProxy::CSyncContext::OnRequestNotSent(int64_t serial_number) {
  SignalPendingSends(
      [serial_number](const PendingSend& p) { return p.serial_number == serial_number; });
}

void CSyncChannelProxy::CSyncContext::CancelPendingSends() {
  SignalPendingSends([](const PendingSend&) { return true; });
}

void CSyncChannelProxy::CSyncContext::StopShutdownWatch() { shutdown_watcher_.StopWatching(); }

void CSyncChannelProxy::CSyncContext::OnChannelOpened() {
  LogSync(u"Sync Channel opened\n");
  // The watcher itself notes a shutdown event that is signalled already.
  if (shutdown_event_) shutdown_watcher_.StartWatching(shutdown_event_, this);
  CContext::OnChannelOpened();
}

void CSyncChannelProxy::CSyncContext::OnChannelError() {
  LogSync(u"help: CSyncChannelProxy Sync Channel Error\n");
  CancelPendingSends();
  StopShutdownWatch();
  CContext::OnChannelError();
}

void CSyncChannelProxy::CSyncContext::OnChannelClosed() {
  LogSync(u"Channel Closed\n");
  CancelPendingSends();
  StopShutdownWatch();
  {
    // The queues live as long as their listeners' registrations, which end here.
    base::CAutoLock hold(recv_queues_lock_);
    recv_queues_.clear();
  }
  CContext::OnChannelClosed();  // may drop the last reference: nothing below
}

bool CSyncChannelProxy::CSyncContext::OnAddListener(const RefPtr<CListener>& listener,
                                                    uint32_t routing_id) {
  CContext::OnAddListener(listener, routing_id);
  base::CAutoLock hold(recv_queues_lock_);
  if (recv_queues_.count(listener.get())) return true;
  auto* queue = new (std::nothrow) CRecvSyncMsgQueue(listener.get());
  if (!queue) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"Out of memory\n");
    CContext::OnRemoveListener(listener, routing_id);
    return false;
  }
  recv_queues_.emplace(listener.get(), RefPtr<CRecvSyncMsgQueue>(queue));
  return true;
}

bool CSyncChannelProxy::CSyncContext::OnRemoveListener(const RefPtr<CListener>& listener,
                                                       uint32_t routing_id) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"OnRemoveListener 0x%p, routingid %d\n",
             listener.get(), routing_id);
  CContext::OnRemoveListener(listener, routing_id);
  RefPtr<CRecvSyncMsgQueue> removed;  // released after the lock
  {
    base::CAutoLock hold(recv_queues_lock_);
    auto it = recv_queues_.find(listener.get());
    if (it != recv_queues_.end()) {
      removed = it->second;
      recv_queues_.erase(it);
    }
  }
  SignalPendingSends(
      [routing_id](const PendingSend& p) { return p.sender_routing_id == routing_id; });
  return true;
}

void CSyncChannelProxy::CSyncContext::ClearListeners() {
  LogSync(u"Clean listeners\n");
  CancelPendingSends();
  std::map<CListener*, RefPtr<CRecvSyncMsgQueue>> removed;
  {
    base::CAutoLock hold(recv_queues_lock_);
    removed.swap(recv_queues_);
  }
  CContext::ClearListeners();
}

// ---- CSyncChannelProxy ----

CSyncChannelProxy::CSyncChannelProxy(const std::u16string& channel_id, int mode,
                                     Thread::CMessageLoop* ipc_loop,
                                     base::CWaitableEvent* shutdown_event,
                                     CChannel::PeerCheck peer_check)
    : CChannelProxy(new CSyncContext(ipc_loop, shutdown_event), channel_id, mode,
                    std::move(peer_check)) {}

CSyncChannelProxy::~CSyncChannelProxy() {
  if (!closed_.load()) CSyncChannelProxy::Close();
}

CSyncChannelProxy::CSyncContext* CSyncChannelProxy::sync_context() const {
  return static_cast<CSyncContext*>(context_.get());
}

void CSyncChannelProxy::Close() {
  closed_.store(true);
  LogSync(u"Close ChannelProxy\n");
  Thread::CTask* task = Thread::NewTask(sync_context(), &CSyncContext::OnChannelClosed,
                                        u"&CSyncContext::OnChannelClosed");
  if (task) context_->ipc_loop()->PostTask(task, 0);
}

bool CSyncChannelProxy::SendSync(CMessage* message, CMessage** reply, CListener* listener) {
  return SendSyncWithTimeout(message, reply, listener, 0);
}

bool CSyncChannelProxy::SendSyncWithTimeout(CMessage* message, CMessage** reply,
                                            CListener* listener, DWORD timeout_ms) {
  return sync_context()->SendSyncWithTimeout(message, reply, listener, timeout_ms, this);
}

}  // namespace IPC
