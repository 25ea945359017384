// Logic::CDllInteractionProcessHost: the browser's end of the extension-DLL process. Native
// extension libraries never load into the browser; they run in a child process, the browser's
// own executable started as `"<exe>" --channel=<id> --type=BrindleProcess`, which opens the
// client end of a named-pipe channel and says hello. This host creates the server end (a
// synchronous channel proxy, routing id 0), launches the child, holds outgoing messages until
// the hello (at most 4096, then sent in order), and hands each message of the child to its
// owner, the extension manager, or reports the channel's failure to it.
//
// The server end admits only the process it launched: the client's process id, as the kernel
// recorded it when the client connected, must be the launched child's; any other client is
// disconnected before anything is written to it, and the channel fails (the one connection the
// pipe admits is spent, so the owner handles it as the loss of the channel).
//
// Messages from the child (routing id 0). The parameters must fill the payload exactly, in this
// order ("string" UTF-16, "int" 32-bit, "int64" 64-bit); anything else (an unknown type, a
// message too short or with bytes left over) is dropped without a word to the owner:
//
//   0x07000004  string extension id, int64 number, string key, string content, int64, int64
//               A library's answer to the front end (to a forwarded call, 0x07000003, or to a
//               front-end command, "extension.invoke.fe.toLibAsync"): the number, key and the
//               two last values are the four fields of that request's context. The owner
//               sends "extension.response.fe.toLibAsync" with {"result":"ok","content":...}
//               to the front-end sink of (extension id, key).
//   0x07000005  string, int64, int64, string      UI thread, "&CExtensionMgrImpl::PostCommandToUI"
//   0x07000008  string name, string payload       a named event raised by a library: the owner
//               dispatches it as the browser's own (background pages registered for the name,
//               then 0x07000008 back to the child).
//   0x07000009  int64, string, int, string        UI thread, "&CExtensionMgrImpl::SnapShotWebPage"
//   0x0700000B  string, int64, string, int, int, string, int
//                                                 UI thread, "&CExtensionMgrImpl::OpenWebPage"
//   0x0700000C  string, int64, int64, int, string UI thread, "&CExtensionMgrImpl::GetWebPageInfo"
//   0x0700000E  string extension id, int64 request, string command, string arguments
//               A library's request that wants to know whether it was taken: the owner runs
//               it as a command (see 0x07000010) and answers 0x0700000F (extension id, the same
//               int64, {"result":"ok"}, {"result":"denied"} or {"result":"unhandled"}).
//   0x07000010  string extension id, string command, string arguments, int request context
//               A library's command, taken as a background page's command is (trace,
//               permission gate, command hosts); replies reach the library as 0x07000011.
//   0x07000014  string extension id, int: with 0 the library failed to load and the owner
//               drops the extension; any other value is ignored here.
//
// The owner trusts none of it: an extension id from the child names at most an extension
// whose library the owner asked the child to load.
//
// Threads: Send from any thread (it takes `lock_`, and a synchronous send keeps it while it
// waits, at most 1000 ms). Init, Shutdown and Close on the extension-manager thread (Shutdown
// and Close also from a thread that owns the host exclusively, as tests do); every channel
// callback arrives there too (GetListenerLoop), the UI-bound messages as tasks on the UI thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/lock.h"
#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message_values.h"
#include "process/child_process_launcher.h"
#include "process/dll_message_types.h"

namespace IPC {
class CMessage;
class CSyncChannelProxy;
}  // namespace IPC

namespace Logic {

// The pending queue's bound: messages sent before the child's hello.
inline constexpr size_t kMaxPendingDllMessages = 0x1000;
// The wait of a synchronous send.
inline constexpr DWORD kDllSyncSendTimeoutMs = 1000;

// One message from the child whose parameters fit its shape.
struct CDllMessage {
  uint32_t type = 0;
  std::vector<IPC::MessageValue> values;

  const std::u16string& text(size_t i) const { return values[i].text; }
  int64_t number(size_t i) const { return values[i].number; }
};

// The parameter shape of an incoming type, or null for a type the host does not take.
const std::vector<IPC::ValueType>* DllMessageShapeFromChild(uint32_t type);

// What the host hands on. Reference counted: the host holds its owner until Shutdown.
class IDllInteractionOwner {
 public:
  virtual void AddRef() const = 0;
  virtual void Release() const = 0;
  // Extension-manager thread: 0x07000004, 08, 0E, 10, and 14 with 0.
  virtual void OnDllMessage(const CDllMessage& message) = 0;
  // UI thread, as the task named in the table: 0x07000005, 09, 0B, 0C.
  virtual void OnDllMessageInUIThread(const CDllMessage& message) = 0;
  // Extension-manager thread: the channel to the child failed (once per failure).
  virtual void OnDllProcessChannelError() = 0;

 protected:
  virtual ~IDllInteractionOwner() = default;
};

// "%d.%08X.%d": the process id, the low 32 bits of `address` (the id keeps the shape it has in
// the 32-bit browser: eight upper-case hexadecimal digits) and `random`.
std::u16string MakeDllChannelId(DWORD process_id, const void* address, int random);

class CDllInteractionProcessHost : public IPC::CChannel::CListener,
                                   public IChildProcessLauncherClient {
 public:
  // Takes a reference on `owner`.
  explicit CDllInteractionProcessHost(IDllInteractionOwner* owner);

  // Creates the channel and launches the child; nothing when the channel exists already, or
  // when there is no IPC thread (the host then stays without a channel).
  void Init();
  // Takes ownership of `message` whatever the result. Before the hello it is queued (false and
  // destroyed once 4096 wait); after it, sent (a synchronous one waits up to 1000 ms for its
  // reply, which goes to `reply` when given, else is destroyed). False without a channel.
  bool Send(IPC::CMessage* message, IPC::CMessage** reply = nullptr);
  // Releases the owner, withdraws the host from the channel, sends the shutdown message (type
  // 2), ends the child and closes the channel. A child not yet on the channel gets `grace_ms`
  // to arrive (messages still queued for it are then written, in order, before the shutdown);
  // it then gets `grace_ms` to leave by itself, is killed when it does not, and is always
  // waited for, so no process of ours is left behind.
  void Shutdown(DWORD grace_ms = 3000);
  // Drops the channel (pending messages stay, unsent).
  void Close();
  // True once the launched child's hello has arrived and what was queued for it has been
  // written; false when it ended or the channel closed first, none was launched, or
  // `timeout_ms` passed. Not on the extension-manager thread, which handles the hello.
  bool WaitForChildConnected(DWORD timeout_ms);

  // IPC::CChannel::CListener, extension-manager thread.
  void OnMessageReceived(const IPC::CMessage& message) override;
  void OnChannelConnected(int32_t peer_pid) override;
  void OnChannelError() override;
  Thread::CMessageLoop* GetListenerLoop() override;
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override;

  // IChildProcessLauncherClient.
  void AddRef() const override { IPC::CChannel::CListener::AddRef(); }
  void Release() const override { IPC::CChannel::CListener::Release(); }
  void OnProcessLaunched(HANDLE /*process*/) override {}

  // For the owner and tests.
  std::u16string channel_id() const;
  bool connected() const;
  size_t pending_count() const;
  // The latest launch, or null.
  base::RefPtr<CChildProcessLauncher> launcher() const;

 private:
  ~CDllInteractionProcessHost() override;

  // The launch the peer check compares with, shared with the channel's check so that neither
  // keeps the other alive.
  struct LaunchRecord;

  base::RefPtr<IDllInteractionOwner> Owner() const;
  // Waits for the child of the latest launch to end (see Shutdown) and drops the launcher.
  void EndChild(DWORD grace_ms);

  mutable base::CLock lock_;
  std::unique_ptr<IPC::CSyncChannelProxy> proxy_;  // Guarded by lock_
  bool connected_ = false;                         // Guarded by lock_
  std::deque<IPC::CMessage*> pending_;             // Guarded by lock_; owned
  std::u16string channel_id_;                      // Guarded by lock_

  mutable base::CLock owner_lock_;
  base::RefPtr<IDllInteractionOwner> owner_;  // Guarded by owner_lock_

  std::shared_ptr<LaunchRecord> launch_;  // Constant after construction
};

}  // namespace Logic
