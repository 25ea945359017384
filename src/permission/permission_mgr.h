#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IPermissionMgr: the interface of the permission manager. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct IPermissionMgr : IUnknown {
  static constexpr IID kIID = kIID_IPermissionMgr;
};

// CCoPermissionMgr: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the permission manager.
class CCoPermissionMgr : public halcy::ComObjectRoot,
                         public IPermissionMgr,
                         public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoPermissionMgr)
  HALCY_INTERFACE(CCoPermissionMgr, IPermissionMgr)
  HALCY_INTERFACE(CCoPermissionMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
