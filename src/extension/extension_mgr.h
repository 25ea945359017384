#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IExtensionMgr: the interface of the extension manager: switch user, operations, routing. Its
// operations (in slot order after IUnknown) are declared with the behaviour that implements them.
struct IExtensionMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionMgr;
};

// CCoExtensionMgr: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the extension manager.
class CCoExtensionMgr : public halcy::ComObjectRoot,
                        public IExtensionMgr,
                        public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionMgr)
  HALCY_INTERFACE(CCoExtensionMgr, IExtensionMgr)
  HALCY_INTERFACE(CCoExtensionMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
