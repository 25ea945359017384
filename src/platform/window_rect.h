// Window rectangles: the stand-in for the system's GetWindowRect. The browser (plexore-host)
// enters the screen rectangle of each window handle it gives out; the module reads it back to
// place menus against a window. A handle nobody entered has no rectangle.
//
//   RECT rect;
//   if (GetWindowRect(window, &rect)) menu->Show(rect.left, rect.top, rect.right, rect.bottom, 0);
//
// Free-threaded: one process-wide table under its own lock.
#pragma once

#include "platform/win_types.h"

struct RECT {
  LONG left = 0;
  LONG top = 0;
  LONG right = 0;
  LONG bottom = 0;
};

// FALSE (and `rect` untouched) for a null handle or one without a rectangle.
BOOL GetWindowRect(HANDLE window, RECT* rect);

namespace halcy {
// Enters or replaces the rectangle of `window`.
void SetWindowRectOf(HANDLE window, const RECT& rect);
// Forgets the rectangle of a window that closed.
void ForgetWindowRect(HANDLE window);
}  // namespace halcy
