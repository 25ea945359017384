// Top-level windows, the user32 subset the module asks about: which windows a thread owns,
// whether a handle is still a window and whether it is visible. A window here is only an
// identity with an owning thread and a visibility flag; the browser stand-in creates one for
// each top-level frame it opens, owned by its UI thread.
//
//   HANDLE w = CreateStandInWindow(ui_thread_id, /*visible=*/true);
//   EnumThreadWindows(ui_thread_id, callback, context);  // calls back with w
//   DestroyWindow(w);
//
// Safe from any thread: the table is under one lock, never held while a callback runs.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

using LPARAM = intptr_t;
using WNDENUMPROC = BOOL (*)(HANDLE window, LPARAM context);

// A new window owned by `thread_id`; never null.
HANDLE CreateStandInWindow(DWORD thread_id, bool visible);
// SW_HIDE (0) hides the window, any other command shows it. FALSE for a handle that is no
// window.
BOOL ShowWindow(HANDLE window, int command);
BOOL DestroyWindow(HANDLE window);
BOOL IsWindow(HANDLE window);
BOOL IsWindowVisible(HANDLE window);
// Calls `callback` for each window of `thread_id` in creation order until it returns FALSE.
// FALSE when the thread owns no window.
BOOL EnumThreadWindows(DWORD thread_id, WNDENUMPROC callback, LPARAM context);
