#include "extension/dll_host_slot.h"

#include <utility>

#include "common/log.h"
#include "platform/object_factory.h"

namespace Logic {

void CDllHostSlot::Set(std::shared_ptr<IDllHostSender> sender) {
  std::shared_ptr<IDllHostSender> previous;  // released after the lock
  base::CAutoLock hold(lock_);
  previous = std::exchange(sender_, std::move(sender));
}

void CDllHostSlot::Clear(const std::shared_ptr<IDllHostSender>& sender) {
  std::shared_ptr<IDllHostSender> previous;  // released after the lock
  base::CAutoLock hold(lock_);
  if (sender_ == sender) previous = std::exchange(sender_, nullptr);
}

std::shared_ptr<IDllHostSender> CDllHostSlot::Get() const {
  base::CAutoLock hold(lock_);
  return sender_;
}

bool CDllHostSlot::Send(IPC::CMessage* message) const {
  if (!message) return false;
  std::shared_ptr<IDllHostSender> sender = Get();
  if (!sender) {
    ComPtr<IExtensionDllHostService> service;
    Util::Com::GetService(IExtensionDllHostService::kIID, service.ReleaseAndGetVoidAddress());
    if (service) {
      const bool received = SUCCEEDED(service->ReceiveDllHostMessage(message));
      delete message;
      return received;
    }
    Log(kLogProgress, u"extMgr;", u"extMgr: no extension DLL host, message 0x%08X dropped",
        message->type());
    delete message;
    return false;
  }
  return sender->Send(message);
}

}  // namespace Logic
