// IUIExtPtMgr: the browser's UI extension-point manager, which draws the buttons and panels
// extensions place in the toolbar, address bar, application bar, smart bar and side bar. The
// extension manager hands it out (IExtensionMgr slot 13) and the command hosts call it.
//
// Only the identity is declared so far: its operations (register a description, remove or
// refresh an extension's points, bubbles, navigation) come with the code that calls them.
// The service is the browser's and free-threaded.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IUIExtPtMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("B31526E9-EE5F-4D5D-BBA4-3E1249B13E25");
};

}  // namespace Logic
