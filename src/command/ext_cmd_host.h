#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

// IExtCmdHost: the interface of the command-host protocol shared by the common and menu command
// hosts. Its operations (in slot order after IUnknown) are declared with the behaviour that
// implements them.
struct IExtCmdHost : IUnknown {
  static constexpr IID kIID = kIID_IExtCmdHost;
};

}  // namespace Logic
