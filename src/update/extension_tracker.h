#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "update/ext_service_shared.h"

namespace Logic {

// IExtensionTracker: the interface of the update tracker. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct IExtensionTracker : IUnknown {
  static constexpr IID kIID = kIID_IExtensionTracker;
};

// CExtensionTracker: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the update tracker.
class CExtensionTracker : public halcy::ComObjectRoot,
                          public IExtensionTracker,
                          public IExtServiceShared1,
                          public IExtServiceShared2,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionTracker)
  HALCY_INTERFACE(CExtensionTracker, IExtensionTracker)
  HALCY_INTERFACE(CExtensionTracker, IExtServiceShared1)
  HALCY_INTERFACE(CExtensionTracker, IExtServiceShared2)
  HALCY_INTERFACE(CExtensionTracker, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
