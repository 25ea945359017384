#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IExtensionNotifyMgr: the interface of the notification manager. Its operations (in slot order
// after IUnknown) are declared with the behaviour that implements them.
struct IExtensionNotifyMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionNotifyMgr;
};

// CExtensionNotifyMgr: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the notification manager.
class CExtensionNotifyMgr : public halcy::ComObjectRoot,
                            public IExtensionNotifyMgr,
                            public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionNotifyMgr)
  HALCY_INTERFACE(CExtensionNotifyMgr, IExtensionNotifyMgr)
  HALCY_INTERFACE(CExtensionNotifyMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
