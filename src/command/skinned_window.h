// Opening an extension's skinned independent window: the window object (ISkinWindow, created
// by its IID) gets the skin location "extskin:\ID\FILE", the window id and the extension id,
// and is shown owned by the top-level frame `frame_id` (no owner when there is no such frame)
// at (x, y). Used by the common command host's "extension.invoke.ui.showwindow" and the menu
// command host's "extension.invoke.ui.showmenuwindow", which open windows the same way.
//
//   ShowSkinnedWindow(u"translatebar", u"w1", u"panel.xml", 1, 10, 20);
//
// Threads: the UI thread, where the browser's windows live.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace Logic {

// E_FAIL when the window object cannot be created; otherwise what showing it answered.
HRESULT ShowSkinnedWindow(const std::u16string& extension_id, const std::u16string& window_id,
                          const std::u16string& xml_file, LONG frame_id, LONG x, LONG y);

}  // namespace Logic
