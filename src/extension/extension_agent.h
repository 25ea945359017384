#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// IExtensionAgentBase: base interface, answered at the same pointer as its derived interface.
struct IExtensionAgentBase : IUnknown {
  static constexpr IID kIID = kIID_IExtensionAgentBase;
};

// IExtensionAgent: the interface of one installed extension. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct IExtensionAgent : IExtensionAgentBase {
  static constexpr IID kIID = kIID_IExtensionAgent;
};

// CCoExtensionAgent: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the extension agent and its manifest getters.
class CCoExtensionAgent : public halcy::ComObjectRoot,
                          public IExtensionAgent,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionAgent)
  HALCY_INTERFACE(CCoExtensionAgent, IExtensionAgent)
  HALCY_INTERFACE(CCoExtensionAgent, IExtensionAgentBase)
  HALCY_INTERFACE(CCoExtensionAgent, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
