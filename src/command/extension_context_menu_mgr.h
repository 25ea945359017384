#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IExtensionContextMenuMgr: the interface of the context menu manager. Its operations (in slot
// order after IUnknown) are declared with the behaviour that implements them.
struct IExtensionContextMenuMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionContextMenuMgr;
};

// CCoExtensionContextMenuMgr: created by its class factory; answers its interfaces and
// IProvideClassInfo. Behaviour still missing here: the operations of the context menu manager.
class CCoExtensionContextMenuMgr : public halcy::ComObjectRoot,
                                   public IExtensionContextMenuMgr,
                                   public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionContextMenuMgr)
  HALCY_INTERFACE(CCoExtensionContextMenuMgr, IExtensionContextMenuMgr)
  HALCY_INTERFACE(CCoExtensionContextMenuMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
