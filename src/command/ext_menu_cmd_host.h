#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

// IExtMenuCmdHostBase: base interface, answered at the same pointer as its derived interface.
struct IExtMenuCmdHostBase : IUnknown {
  static constexpr IID kIID = kIID_IExtMenuCmdHostBase;
};

// IExtMenuCmdHost: the interface of the menu command host. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct IExtMenuCmdHost : IExtMenuCmdHostBase {
  static constexpr IID kIID = kIID_IExtMenuCmdHost;
};

}  // namespace Logic
