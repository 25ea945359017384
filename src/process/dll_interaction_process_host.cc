#include "process/dll_interaction_process_host.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "base/waitable_event.h"
#include "common/function_tracer.h"
#include "common/log.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_sync_channel.h"
#include "module/logic_global_service.h"
#include "module/services.h"
#include "platform/event.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/threads.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace Logic {
namespace {

using IPC::ValueType;

// How long the peer check and Shutdown wait for a launch to have been attempted; creation
// takes milliseconds, so this only bounds a process-launch thread that is gone.
constexpr DWORD kLaunchWaitMs = 5000;
// How long a killed child may take to be reaped.
constexpr DWORD kKillWaitMs = 5000;

struct IncomingRule {
  uint32_t type;
  std::vector<ValueType> shape;
  const char16_t* ui_task;  // the UI-thread task's name, or null for the manager's thread
};

const std::vector<IncomingRule>& IncomingRules() {
  constexpr ValueType S = ValueType::kString, I = ValueType::kInt, L = ValueType::kInt64;
  static const auto* rules = new std::vector<IncomingRule>{
      {kDllMsgLibraryResponseToFE, {S, L, S, S, L, L}, nullptr},
      {kDllMsgPostCommandToUI, {S, L, L, S}, u"&CExtensionMgrImpl::PostCommandToUI"},
      {kDllMsgNamedEvent, {S, S}, nullptr},
      {kDllMsgSnapShotWebPage, {L, S, I, S}, u"&CExtensionMgrImpl::SnapShotWebPage"},
      {kDllMsgOpenWebPage, {S, L, S, I, I, S, I}, u"&CExtensionMgrImpl::OpenWebPage"},
      {kDllMsgGetWebPageInfo, {S, L, L, I, S}, u"&CExtensionMgrImpl::GetWebPageInfo"},
      {kDllMsgLibraryRequest, {S, L, S, S}, nullptr},
      {kDllMsgLibraryCommand, {S, S, S, I}, nullptr},
      {kDllMsgLibraryLoadState, {S, I}, nullptr},
  };
  return *rules;
}

const IncomingRule* RuleFor(uint32_t type) {
  for (const IncomingRule& rule : IncomingRules()) {
    if (rule.type == type) return &rule;
  }
  return nullptr;
}

// One borrowed wrapper per shutdown event handle, for the life of the process: a proxy's
// context may still watch it on the IPC thread after its host is gone.
base::CWaitableEvent* BrowserShutdownEvent(HANDLE handle) {
  static std::mutex mutex;
  static auto* wrappers = new std::map<HANDLE, std::unique_ptr<base::CWaitableEvent>>();
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<base::CWaitableEvent>& slot = (*wrappers)[handle];
  if (!slot) {
    slot = std::make_unique<base::CWaitableEvent>(base::CWaitableEvent::Borrowed{}, handle);
  }
  return slot.get();
}

std::u16string ExecutablePath() {
  char16_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::u16string(path, n < MAX_PATH ? n : MAX_PATH - 1);
}

}  // namespace

// The latest launch: set by Init on the extension-manager thread, read by the channel's peer
// check on the IPC thread, taken by Shutdown.
struct CDllInteractionProcessHost::LaunchRecord {
  std::mutex mutex;
  std::condition_variable set;
  base::RefPtr<CChildProcessLauncher> launcher;           // Guarded by mutex
  base::RefPtr<CChildProcessLauncher::CContext> context;  // Guarded by mutex
  bool ended = false;                                     // Guarded by mutex
  bool accepted = false;  // Guarded by mutex: the launched child is on the channel
  bool hello = false;     // Guarded by mutex: its hello arrived and the queue was flushed
  bool closed = false;    // Guarded by mutex: the channel is gone

  void Set(base::RefPtr<CChildProcessLauncher> new_launcher) {
    std::lock_guard<std::mutex> lock(mutex);
    launcher = std::move(new_launcher);
    context = base::RefPtr<CChildProcessLauncher::CContext>(launcher->context());
    set.notify_all();
  }

  // True when `pid` is the process of the latest launch. A client may connect before Init
  // has recorded the launch that started it, so the record is awaited a little.
  bool IsLaunchedChild(DWORD pid) {
    base::RefPtr<CChildProcessLauncher::CContext> launch;
    {
      std::unique_lock<std::mutex> lock(mutex);
      set.wait_for(lock, std::chrono::milliseconds(kLaunchWaitMs),
                   [&] { return context || ended; });
      launch = context;
    }
    if (!launch || !launch->done_event()->TimedWait(kLaunchWaitMs)) return false;
    if (pid == 0 || launch->process_info().dwProcessId != pid) return false;
    std::lock_guard<std::mutex> lock(mutex);
    accepted = true;
    set.notify_all();
    return true;
  }

  // True once the launched child is on the channel; false when it ends first, was never
  // created, or `timeout_ms` passes.
  bool WaitForChildOnChannel(DWORD timeout_ms) {
    base::RefPtr<CChildProcessLauncher::CContext> launch;
    {
      std::lock_guard<std::mutex> lock(mutex);
      launch = context;
    }
    if (!launch || !launch->done_event()->TimedWait(kLaunchWaitMs)) return false;
    HANDLE process = launch->process_info().hProcess;
    if (!process) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex);
    while (!accepted) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      lock.unlock();
      const bool ended_first = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      lock.lock();
      if (ended_first) return accepted;
      set.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
  }

  void Mark(bool LaunchRecord::*flag) {
    std::lock_guard<std::mutex> lock(mutex);
    this->*flag = true;
    set.notify_all();
  }

  // True once the hello has arrived; false when the channel closes first or `deadline` passes.
  bool WaitForHello(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    return set.wait_until(lock, deadline, [this] { return hello || closed; }) && hello && !closed;
  }

  base::RefPtr<CChildProcessLauncher::CContext> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    launcher = nullptr;
    set.notify_all();
    return std::exchange(context, nullptr);
  }
};

std::u16string MakeDllChannelId(DWORD process_id, const void* address, int random) {
  const auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
  return halcy::StringPrintf(u"%d.%08X.%d", static_cast<int>(process_id), low, random);
}

const std::vector<IPC::ValueType>* DllMessageShapeFromChild(uint32_t type) {
  const IncomingRule* rule = RuleFor(type);
  return rule ? &rule->shape : nullptr;
}

CDllInteractionProcessHost::CDllInteractionProcessHost(IDllInteractionOwner* owner)
    : owner_(owner), launch_(std::make_shared<LaunchRecord>()) {}

CDllInteractionProcessHost::~CDllInteractionProcessHost() {
  for (IPC::CMessage* message : pending_) delete message;
}

void CDllInteractionProcessHost::Init() {
  CFunctionTracer trace(u"function;", u"Logic::CDllInteractionProcessHost::Init", u"");
  {
    base::CAutoLock hold(lock_);
    if (proxy_) return;
  }
  Thread::CMessageLoop* ipc_loop = nullptr;
  if (ComPtr<Thread::IThreadService> threads = Thread::GetThreadService()) {
    threads->GetMessageLoop(Thread::kThreadIPC, &ipc_loop);
  }
  if (!ipc_loop) return;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const std::u16string id = MakeDllChannelId(GetCurrentProcessId(), this, std::rand() % 32768);
  HANDLE shutdown = nullptr;
  if (ComPtr<ILogicGlobalService> global = GetLogicGlobalService()) {
    global->GetShutdownEvent(&shutdown);
  }
  bool pipe_created;
  {
    base::CAutoLock hold(lock_);
    proxy_ = std::make_unique<IPC::CSyncChannelProxy>(
        id, 0, ipc_loop, shutdown ? BrowserShutdownEvent(shutdown) : nullptr,
        [launch = launch_](DWORD pid) { return launch->IsLaunchedChild(pid); });
    proxy_->AddListener(this, 0);
    channel_id_ = id;
    pipe_created = proxy_->pipe_created();
  }
  // A child could not reach a channel without a pipe (the proxy logged why): none is started.
  if (!pipe_created) return;
  CCommandLine line(ExecutablePath());
  line.AppendSwitch(u"type", u"BrindleProcess");
  line.AppendSwitch(u"channel", id);
  base::RefPtr<CChildProcessLauncher> launcher(new CChildProcessLauncher(std::move(line)));
  // Without a thread service nothing starts; the channel then waits for a child in vain, as it
  // does when creation fails.
  launcher->Launch(this);
  launch_->Set(std::move(launcher));
}

bool CDllInteractionProcessHost::Send(IPC::CMessage* message, IPC::CMessage** reply) {
  if (reply) *reply = nullptr;
  if (!message) return false;
  base::CAutoLock hold(lock_);
  if (!proxy_) {
    delete message;
    return false;
  }
  if (connected_) {
    if (!message->is_sync()) return proxy_->Send(message);
    IPC::CMessage* answer = nullptr;
    const bool sent = proxy_->SendSyncWithTimeout(message, &answer, this, kDllSyncSendTimeoutMs);
    if (reply) {
      *reply = answer;
    } else {
      delete answer;
    }
    return sent;
  }
  if (pending_.size() >= kMaxPendingDllMessages) {
    delete message;
    return false;
  }
  pending_.push_back(message);
  return true;
}

void CDllInteractionProcessHost::OnChannelConnected(int32_t /*peer_pid: checked at connect*/) {
  base::CAutoLock hold(lock_);
  connected_ = true;
  // Under the lock, so that a send from another thread cannot overtake the queue.
  while (!pending_.empty()) {
    IPC::CMessage* message = pending_.front();
    pending_.pop_front();
    Send(message);  // the lock is recursive; a refused message is destroyed there
  }
  launch_->Mark(&LaunchRecord::hello);
}

void CDllInteractionProcessHost::OnMessageReceived(const IPC::CMessage& message) {
  const IncomingRule* rule = RuleFor(message.type());
  if (!rule) return;  // not a message of the extension process: ignored
  CDllMessage parsed;
  parsed.type = message.type();
  size_t used = 0;
  if (!IPC::ReadMessageValues(message, rule->shape, &parsed.values, &used) ||
      used != message.size()) {
    return;  // does not fit its shape
  }
  if (parsed.type == kDllMsgLibraryLoadState && parsed.number(1) != 0) return;
  base::RefPtr<IDllInteractionOwner> owner = Owner();
  if (!owner) return;
  if (!rule->ui_task) {
    owner->OnDllMessage(parsed);
    return;
  }
  Thread::CTask* task = Thread::NewFuncTask(
      [owner, parsed = std::move(parsed)] { owner->OnDllMessageInUIThread(parsed); },
      rule->ui_task);
  if (task) Thread::PostTask(Thread::kThreadUI, task);
}

void CDllInteractionProcessHost::OnChannelError() {
  Log(kLogProgress, u"oldlog;", u"help: CDllInteractionProcessHost Channel Error\n");
  bool had_channel;
  {
    base::CAutoLock hold(lock_);
    had_channel = proxy_ != nullptr;
  }
  if (!had_channel) return;
  Close();
  if (base::RefPtr<IDllInteractionOwner> owner = Owner()) owner->OnDllProcessChannelError();
}

Thread::CMessageLoop* CDllInteractionProcessHost::GetListenerLoop() {
  Thread::CMessageLoop* loop = nullptr;
  if (ComPtr<Thread::IThreadService> threads = Thread::GetThreadService()) {
    threads->GetMessageLoop(Thread::kThreadExtensionManager, &loop);
  }
  return loop;
}

void CDllInteractionProcessHost::GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) {
  *proxy = nullptr;
  if (ComPtr<Thread::IThreadService> threads = Thread::GetThreadService()) {
    threads->GetMessageLoopProxy(Thread::kThreadExtensionManager, proxy);
  }
}

void CDllInteractionProcessHost::Close() {
  std::unique_ptr<IPC::CSyncChannelProxy> closing;
  base::CAutoLock hold(lock_);
  if (!proxy_) return;
  connected_ = false;
  closing = std::move(proxy_);
  closing->Close();
  launch_->Mark(&LaunchRecord::closed);
}

bool CDllInteractionProcessHost::WaitForChildConnected(DWORD timeout_ms) {
  // The pipe admits the child before its hello arrives; what was queued for it is written only
  // after the hello, on the extension-manager thread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return launch_->WaitForChildOnChannel(timeout_ms) && launch_->WaitForHello(deadline);
}

void CDllInteractionProcessHost::Shutdown(DWORD grace_ms) {
  base::RefPtr<IDllInteractionOwner> owner;
  {
    base::CAutoLock hold(owner_lock_);
    owner = std::move(owner_);
  }
  owner = nullptr;  // released with no lock held
  {
    base::CAutoLock hold(lock_);
    if (proxy_) proxy_->RemoveListener(this, 0);
  }
  // A child launched moments ago may not be on the channel yet (a short session): it gets the
  // grace period to arrive, so that it hears of the shutdown instead of finding no pipe. Its
  // hello is not awaited (that arrives on this thread): once it is on the channel, what waits
  // for the hello goes to the channel, which writes it after the channel's own hello.
  const bool on_channel = launch_->WaitForChildOnChannel(grace_ms);
  {
    base::CAutoLock hold(lock_);
    if (proxy_ && on_channel && !connected_) {
      connected_ = true;
      while (!pending_.empty()) {
        IPC::CMessage* message = pending_.front();
        pending_.pop_front();
        Send(message);
      }
    }
  }
  Send(new IPC::CMessage(false, IPC::kMessageTypeShutdown));
  // The child leaves when it reads the shutdown; the channel stays until then, so that
  // everything sent before reaches it.
  EndChild(grace_ms);
  Close();
}

void CDllInteractionProcessHost::EndChild(DWORD grace_ms) {
  base::RefPtr<CChildProcessLauncher::CContext> launch = launch_->Take();
  if (!launch || !launch->done_event()->TimedWait(kLaunchWaitMs)) return;
  HANDLE process = launch->process_info().hProcess;
  if (!process || WaitForSingleObject(process, grace_ms) == WAIT_OBJECT_0) return;
  Log(kLogProgress, u"oldlog;", u"extension process %u did not end by itself, ended\n",
      launch->process_info().dwProcessId);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, kKillWaitMs);
}

base::RefPtr<IDllInteractionOwner> CDllInteractionProcessHost::Owner() const {
  base::CAutoLock hold(owner_lock_);
  return owner_;
}

std::u16string CDllInteractionProcessHost::channel_id() const {
  base::CAutoLock hold(lock_);
  return channel_id_;
}

bool CDllInteractionProcessHost::connected() const {
  base::CAutoLock hold(lock_);
  return connected_;
}

size_t CDllInteractionProcessHost::pending_count() const {
  base::CAutoLock hold(lock_);
  return pending_.size();
}

base::RefPtr<CChildProcessLauncher> CDllInteractionProcessHost::launcher() const {
  std::lock_guard<std::mutex> lock(launch_->mutex);
  return launch_->launcher;
}

}  // namespace Logic
