#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

// IExtCommonCmdHost: the interface of the common command host. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct IExtCommonCmdHost : IUnknown {
  static constexpr IID kIID = kIID_IExtCommonCmdHost;
};

}  // namespace Logic
