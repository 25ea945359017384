#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "update/ext_service_shared.h"

namespace Logic {

// IExtensionAppGuild: the interface of the application install guide. Its operations (in slot order
// after IUnknown) are declared with the behaviour that implements them.
struct IExtensionAppGuild : IUnknown {
  static constexpr IID kIID = kIID_IExtensionAppGuild;
};

// CExtensionAppGuild: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the application install guide.
class CExtensionAppGuild : public halcy::ComObjectRoot,
                           public IExtensionAppGuild,
                           public IExtServiceShared1,
                           public IExtServiceShared2,
                           public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionAppGuild)
  HALCY_INTERFACE(CExtensionAppGuild, IExtensionAppGuild)
  HALCY_INTERFACE(CExtensionAppGuild, IExtServiceShared1)
  HALCY_INTERFACE(CExtensionAppGuild, IExtServiceShared2)
  HALCY_INTERFACE(CExtensionAppGuild, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
