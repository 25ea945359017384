#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IPermissionSet: the interface of one extension's permission set. Its operations (in slot order
// after IUnknown) are declared with the behaviour that implements them.
struct IPermissionSet : IUnknown {
  static constexpr IID kIID = kIID_IPermissionSet;
};

// CCoPermissionSet: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of permission sets.
class CCoPermissionSet : public halcy::ComObjectRoot,
                         public IPermissionSet,
                         public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoPermissionSet)
  HALCY_INTERFACE(CCoPermissionSet, IPermissionSet)
  HALCY_INTERFACE(CCoPermissionSet, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
