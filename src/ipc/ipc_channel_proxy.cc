#include "ipc/ipc_channel_proxy.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/log.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"

namespace IPC {

namespace {

using base::RefPtr;

void LogProxy(const char16_t* format) { Logic::Log(Logic::kLogProgress, u"oldlog;", format); }

// Posts `task` to the IPC loop; a null task (out of memory) posts nothing.
bool PostToIpc(Thread::CMessageLoopProxy* loop, Thread::CTask* task) {
  if (!task || !loop) {
    delete task;
    return false;
  }
  return loop->PostTask(task, 0);
}

}  // namespace

// ---- CContext ----

CChannelProxy::CContext::CContext(Thread::CMessageLoop* ipc_loop)
    : ipc_loop_(ipc_loop ? ipc_loop->proxy() : nullptr) {}

CChannelProxy::CContext::~CContext() {
  // A send task that never ran (its loop went away) leaves its messages here.
  for (CMessage* message : send_queue_) delete message;
  for (auto& entry : inboxes_) {
    for (CMessage* message : entry.second) delete message;
  }
}

bool CChannelProxy::CContext::QueueSend(CMessage* message) {
  if (failed_.load()) {
    delete message;  // the channel refuses everything now; the failure was reported once
    return false;
  }
  bool first;
  {
    base::CAutoLock hold(send_lock_);
    first = send_queue_.empty();
    send_queue_.push_back(message);
  }
  if (!first) return true;  // the task already due takes it along
  if (PostToIpc(ipc_loop_.get(),
                Thread::NewTask(this, &CContext::OnSendQueued, u"&CContext::OnSendQueued"))) {
    return true;
  }
  // No task will come for the queue: drop it, so that the next send tries to post again.
  std::vector<CMessage*> dropped;
  {
    base::CAutoLock hold(send_lock_);
    dropped.swap(send_queue_);
  }
  for (CMessage* m : dropped) delete m;
  return false;
}

void CChannelProxy::CContext::OnSendQueued() {
  std::vector<CMessage*> batch;
  {
    base::CAutoLock hold(send_lock_);
    batch.swap(send_queue_);
  }
  for (CMessage* message : batch) SendToChannel(message);
}

void CChannelProxy::CContext::SendToChannel(CMessage* message) {
  // The channel owns the message once it has it, and may destroy it at once: note first what
  // a refused request needs.
  const bool request = message->is_sync() && !message->is_reply();
  const int64_t serial = request ? message->serial_number() : 0;
  CChannel* channel = channel_.get();
  if (!channel) {
    delete message;  // closed meanwhile
  } else if (channel->Send(message)) {
    return;
  }
  // The channel reports its own failure (once); only the request's sender is still waiting.
  if (request) OnRequestNotSent(serial);
}

bool CChannelProxy::CContext::CreateChannel(const std::u16string& channel_id, int mode,
                                            CChannel::PeerCheck peer_check) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Create Channel \"%s\", Mode : %d\n",
             channel_id.c_str(), mode);
  channel_id_ = channel_id;
  channel_ = RefPtr<CChannel>(new CChannel(this, channel_id, mode));
  channel_->set_peer_check(std::move(peer_check));
  return channel_->CreatePipe();
}

void CChannelProxy::CContext::OnChannelOpened() {
  LogProxy(u"Channel Opened, connect it\n");
  LogProxy(u" CChannelProxy::CContext::OnChannelOpened() ---AddRef(); \n");
  AddRef();
  opened_ = true;
  if (!channel_ || !channel_->Connect()) {
    OnChannelError();
    return;
  }
  for (const auto& filter : filters_) filter->OnFilterAdded(channel_.get());
}

void CChannelProxy::CContext::OnChannelClosed() {
  LogProxy(u"channel closed\n");
  if (channel_) {
    for (const auto& filter : filters_) {
      filter->OnChannelClosing();
      filter->OnFilterRemoved();
    }
    filters_.clear();
    {
      base::CAutoLock hold(lock_);
      routed_listeners_.clear();
      broadcast_listeners_.clear();
    }
    channel_ = nullptr;  // its destructor closes the pipe
  }
  if (opened_) {
    opened_ = false;
    LogProxy(u" CChannelProxy::CContext::OnChannelClosed() ---Release(); \n");
    Release();  // may delete this: nothing below
  }
}

void CChannelProxy::CContext::OnAddFilter(const RefPtr<CMessageFilter>& filter) {
  filters_.push_back(filter);
  if (opened_ && channel_) filter->OnFilterAdded(channel_.get());
}

bool CChannelProxy::CContext::OnAddListener(const RefPtr<CListener>& listener,
                                            uint32_t routing_id) {
  base::CAutoLock hold(lock_);
  if (routing_id == 0) {
    auto& list = broadcast_listeners_;
    auto same = [&](const RefPtr<CListener>& l) { return l.get() == listener.get(); };
    if (std::find_if(list.begin(), list.end(), same) == list.end()) list.push_back(listener);
    return true;
  }
  auto range = routed_listeners_.equal_range(routing_id);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.get() == listener.get()) return true;
  }
  routed_listeners_.emplace(routing_id, listener);
  return true;
}

bool CChannelProxy::CContext::OnRemoveListener(const RefPtr<CListener>& listener,
                                               uint32_t routing_id) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"On remove Listener 0x%p, routing id : %d\n",
             listener.get(), routing_id);
  base::CAutoLock hold(lock_);
  if (routing_id == 0) {
    broadcast_listeners_.remove_if(
        [&](const RefPtr<CListener>& l) { return l.get() == listener.get(); });
    return true;
  }
  auto range = routed_listeners_.equal_range(routing_id);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.get() == listener.get()) {
      routed_listeners_.erase(it);
      break;
    }
  }
  return true;
}

void CChannelProxy::CContext::ClearListeners() {
  base::CAutoLock hold(lock_);
  routed_listeners_.clear();
  broadcast_listeners_.clear();
}

std::vector<RefPtr<CChannel::CListener>> CChannelProxy::CContext::ListenersFor(
    uint32_t routing_id) {
  std::vector<RefPtr<CListener>> out;
  ListenersFor(routing_id, &out);
  return out;
}

void CChannelProxy::CContext::ListenersFor(uint32_t routing_id,
                                           std::vector<RefPtr<CListener>>* out) {
  out->clear();
  base::CAutoLock hold(lock_);
  if (routing_id == 0) {
    out->assign(broadcast_listeners_.begin(), broadcast_listeners_.end());
  } else {
    auto range = routed_listeners_.equal_range(routing_id);
    for (auto it = range.first; it != range.second; ++it) out->push_back(it->second);
  }
}

std::vector<RefPtr<CChannel::CListener>> CChannelProxy::CContext::AllListeners() {
  std::vector<RefPtr<CListener>> out;
  base::CAutoLock hold(lock_);
  for (const auto& entry : routed_listeners_) out.push_back(entry.second);
  out.insert(out.end(), broadcast_listeners_.begin(), broadcast_listeners_.end());
  return out;
}

bool CChannelProxy::CContext::FilterMessage(const CMessage& message) {
  for (const auto& filter : filters_) {
    if (filter->OnMessageReceived(message)) return true;
  }
  return false;
}

void CChannelProxy::CContext::PostToListeners(const std::vector<RefPtr<CListener>>& listeners,
                                              void (CContext::*method)(const RefPtr<CListener>&),
                                              const char16_t* name) {
  for (const auto& listener : listeners) {
    Thread::CMessageLoopProxy* raw = nullptr;
    listener->GetListenerLoopProxy(&raw);
    auto loop = RefPtr<Thread::CMessageLoopProxy>::Adopt(raw);
    if (!loop) continue;
    if (Thread::CTask* task = Thread::NewTask(this, method, name, listener)) {
      loop->PostTask(task, 0);
    }
  }
}

void CChannelProxy::CContext::OnMessageReceived(const CMessage& message) {
  if (FilterMessage(message)) return;
  ListenersFor(message.routing_id(), &dispatch_targets_);
  for (const auto& listener : dispatch_targets_) {
    Thread::CMessageLoopProxy* raw = nullptr;
    listener->GetListenerLoopProxy(&raw);
    auto loop = RefPtr<Thread::CMessageLoopProxy>::Adopt(raw);
    if (!loop) continue;
    // The channel's message borrows the receive buffer: the inbox keeps its own copy.
    auto* copy = new (std::nothrow) CMessage(message);
    if (!copy) continue;
    bool first;
    {
      base::CAutoLock hold(inbox_lock_);
      auto [it, inserted] = inboxes_.try_emplace(listener.get());
      first = inserted;
      it->second.push_back(copy);
    }
    // Later messages join the inbox that the task already due will empty.
    if (first) PostInbox(loop.get(), listener);
  }
  dispatch_targets_.clear();  // no listener is kept referenced between messages
}

void CChannelProxy::CContext::PostInbox(Thread::CMessageLoopProxy* loop,
                                        const RefPtr<CListener>& listener) {
  Thread::CTask* task =
      Thread::NewTask(this, &CContext::OnDispatchInbox, u"&CContext::OnDispatchInbox", listener);
  if (task && loop->PostTask(task, 0)) return;
  // The loop takes no more tasks: nothing will empty this inbox.
  std::deque<CMessage*> dropped;
  {
    base::CAutoLock hold(inbox_lock_);
    auto it = inboxes_.find(listener.get());
    if (it == inboxes_.end()) return;
    dropped.swap(it->second);
    inboxes_.erase(it);
  }
  for (CMessage* m : dropped) delete m;
}

void CChannelProxy::CContext::OnDispatchInbox(const RefPtr<CListener>& listener) {
  // The entry stays while this task delivers, so that what arrives meanwhile joins it rather
  // than posting a task that a nested loop in the listener could run ahead of the batch.
  std::deque<CMessage*> batch;
  for (;;) {
    {
      base::CAutoLock hold(inbox_lock_);
      auto it = inboxes_.find(listener.get());
      if (it == inboxes_.end()) return;
      if (it->second.empty()) {
        inboxes_.erase(it);
        return;
      }
      batch.swap(it->second);
    }
    while (!batch.empty()) {
      std::unique_ptr<CMessage> message(batch.front());
      batch.pop_front();
      listener->OnMessageReceived(*message);
    }
  }
}

void CChannelProxy::CContext::OnChannelConnected(int32_t peer_pid) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Channel connected, peerid : %d\n", peer_pid);
  peer_pid_ = peer_pid;
  for (const auto& filter : filters_) filter->OnChannelConnected(peer_pid);
  PostToListeners(AllListeners(), &CContext::OnDispatchConnected,
                  u"&CContext::OnDispatchConnected");
}

void CChannelProxy::CContext::OnDispatchConnected(const RefPtr<CListener>& listener) {
  if (connected_dispatched_.exchange(true)) return;  // reported once per context
  listener->OnChannelConnected(peer_pid_);
}

void CChannelProxy::CContext::OnChannelError() {
  LogProxy(u"help: CChannelProxy::CContext Channel Error \n");
  failed_.store(true);
  for (const auto& filter : filters_) filter->OnChannelError();
  PostToListeners(AllListeners(), &CContext::OnDispatchError, u"&CContext::OnDispatchError");
}

void CChannelProxy::CContext::OnDispatchError(const RefPtr<CListener>& listener) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Dispatch Error to Listener 0x%p\n", listener.get());
  listener->OnChannelError();
}

// ---- CSendTask ----

CSendTask::CSendTask(CChannelProxy::CContext* context, CMessage* message)
    : Thread::CTask(u"&CSendTask::Run"), context_(context), message_(message) {}

CSendTask::~CSendTask() { delete message_; }

void CSendTask::Run() {
  CMessage* message = message_;
  message_ = nullptr;
  context_->SendToChannel(message);  // destroyed there when the channel is gone
}

// ---- CChannelProxy ----

CChannelProxy::CChannelProxy(const std::u16string& channel_id, int mode,
                             Thread::CMessageLoop* ipc_loop)
    : CChannelProxy(new CContext(ipc_loop), channel_id, mode) {}

CChannelProxy::CChannelProxy(CContext* context, const std::u16string& channel_id, int mode,
                             CChannel::PeerCheck peer_check)
    : context_(context) {
  Init(channel_id, mode, std::move(peer_check));
}

CChannelProxy::~CChannelProxy() {
  if (!closed_.load()) CChannelProxy::Close();
}

void CChannelProxy::Init(const std::u16string& channel_id, int mode,
                         CChannel::PeerCheck peer_check) {
  LogProxy(u"Init ChannelProxy\n");
  if (!context_->CreateChannel(channel_id, mode, std::move(peer_check))) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"Create Channel failed\n");
    return;
  }
  pipe_created_ = true;
  LogProxy(u"post task: CChannelProxy::CContext::OnChannelOpened\n");
  PostToIpc(context_->ipc_loop(), Thread::NewTask(context_.get(), &CContext::OnChannelOpened,
                                                  u"&CContext::OnChannelOpened"));
}

void CChannelProxy::Close() {
  closed_.store(true);
  LogProxy(u"Close ChannelProxy\n");
  LogProxy(u"post task: CChannelProxy::CContext::OnChannelClosed\n");
  PostToIpc(context_->ipc_loop(), Thread::NewTask(context_.get(), &CContext::OnChannelClosed,
                                                  u"&CContext::OnChannelClosed"));
}

bool CChannelProxy::Send(CMessage* message) {
  if (!closed_.load()) return context_->QueueSend(message);
  // After Close the message travels behind the closing task, which drops it.
  auto* task = new (std::nothrow) CSendTask(context_.get(), message);
  if (!task) {
    delete message;
    return false;
  }
  return PostToIpc(context_->ipc_loop(), task);
}

bool CChannelProxy::AddListener(CListener* listener, uint32_t routing_id) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"add listener 0x%p, routing id : %d\n", listener,
             routing_id);
  return PostListenerTask(&CContext::OnAddListener, u"&CChannelProxy::CContext::OnAddListener",
                          listener, routing_id);
}

bool CChannelProxy::RemoveListener(CListener* listener, uint32_t routing_id) {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"remove listener 0x%p, routing id : %d\n", listener,
             routing_id);
  return PostListenerTask(&CContext::OnRemoveListener,
                          u"&CChannelProxy::CContext::OnRemoveListener", listener, routing_id);
}

bool CChannelProxy::PostListenerTask(bool (CContext::*method)(const RefPtr<CListener>&, uint32_t),
                                     const char16_t* name, CListener* listener,
                                     uint32_t routing_id) {
  // The task keeps the listener referenced until it has run.
  PostToIpc(context_->ipc_loop(),
            Thread::NewTask(context_.get(), method, name, RefPtr<CListener>(listener), routing_id));
  return true;
}

void CChannelProxy::AddFilter(CMessageFilter* filter) {
  PostToIpc(context_->ipc_loop(),
            Thread::NewTask(context_.get(), &CContext::OnAddFilter, u"&CContext::OnAddFilter",
                            RefPtr<CMessageFilter>(filter)));
}

}  // namespace IPC
