// The extension manager's slot for the extension-DLL host: where the messages for native
// extension libraries (IPC 0x07000011, 0x07000012, 0x07000003, 0x07000008, 0x0700000A, ...)
// go. The DLL host fills it once it exists; tests fill it with a recorder. An empty slot hands
// each message to the browser's IExtensionDllHostService when one is registered (a browser
// that watches or relays those messages), else drops it with one log line.
//
//   slot.Set(std::make_shared<MyRecorder>());
//   slot.Send(new IPC::CMessage(false, 0x07000012));  // the slot owns the message from here
//
// Thread-safe: Set and Send may be called from any thread. The sender is copied under the
// slot's lock and called with no lock held, so a sender may block (a synchronous send waits
// up to 1000 ms) without holding up Set.
#pragma once

#include <memory>

#include "base/lock.h"
#include "ipc/ipc_message.h"
#include "platform/com.h"

namespace Logic {

// Whatever carries messages to the extension-DLL process.
class IDllHostSender {
 public:
  virtual ~IDllHostSender() = default;
  // Takes ownership of `message` whatever the result; true when it was sent or queued.
  virtual bool Send(IPC::CMessage* message) = 0;
};

// A browser service that receives what an empty slot would drop. Looked up for each message;
// called on the sending thread. The caller keeps ownership of `message`.
struct IExtensionDllHostService : IUnknown {
  static constexpr IID kIID = MakeGuid("3C8E5A12-94D7-4B6F-A0E3-1F72B6C9D845");
  // 3: one message for the extension-DLL process.
  virtual HRESULT ReceiveDllHostMessage(const IPC::CMessage* message) = 0;
};

class CDllHostSlot {
 public:
  // Replaces the sender; null empties the slot.
  void Set(std::shared_ptr<IDllHostSender> sender);
  // Empties the slot if it still holds `sender` (another may have been set meanwhile).
  void Clear(const std::shared_ptr<IDllHostSender>& sender);
  std::shared_ptr<IDllHostSender> Get() const;

  // Takes ownership of `message` whatever the result. With no sender the message goes to the
  // IExtensionDllHostService (true when it answers S_OK); with neither it is destroyed after
  // the line "extMgr: no extension DLL host, message 0x%08X dropped" (level 32,
  // "extMgr;"), and the result is false.
  bool Send(IPC::CMessage* message) const;

 private:
  mutable base::CLock lock_;
  std::shared_ptr<IDllHostSender> sender_;  // Guarded by lock_
};

}  // namespace Logic
