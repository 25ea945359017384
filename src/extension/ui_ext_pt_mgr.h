// IUIExtPtMgr: the browser's UI extension-point manager, which draws the buttons and panels
// extensions place in the toolbar, address bar, application bar, smart bar and side bar. The
// extension manager hands it out (IExtensionMgr slot 13) and the command hosts call it.
//
// Only what the module calls so far is declared: the bubble the extension manager shows on a
// point. The other operations (register a description, remove or refresh an extension's points,
// navigation) come with the code that calls them. The service is the browser's and
// free-threaded.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IUIExtPtMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("B31526E9-EE5F-4D5D-BBA4-3E1249B13E25");
  // 3: shows `text` in a bubble on the extension point `point_id`. The manager's notices pass
  // (point, 0, text, -1, 0, 0): no extension, every frame, the bubble's own size.
  virtual HRESULT ShowPointBubble(BSTR point_id, LONG extension, BSTR text, LONG frame_id,
                                  LONG width, LONG height) = 0;
};

// The toolbar's extension point.
inline constexpr char16_t kToolbarPointId[] = u"185A0831-E83A-4a49-A9FE-2632A7D59888";

}  // namespace Logic
