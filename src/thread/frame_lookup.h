// The browser frame whose top-level window belongs to the calling thread, for command handlers
// that act on "the current browser window" (side-bar bubbles, bubbles without a frame). The
// thread's top-level windows are walked in creation order and each is handed to the browser's
// side-bar manager (ISideBarMgr), which names the frame of the window.
//
//   ComPtr<IUnknown> found;
//   if (Thread::FindFrameOfCurrentThread(0, found.ReleaseAndGetAddressOf(), true) == S_OK) ...
//
// Kinds: 0 a browser frame with content (IBrowserFrame holding a tab container), 1 the
// browser's interface {11BF4720-26AD-4FF3-A924-C58117A614F7}, 2 a popup (IPopupFrame).
// Call on the thread whose windows are meant (the UI thread).
#pragma once

#include "platform/com.h"

namespace Thread {

inline constexpr IID kIID_FrameKind1 = MakeGuid("11BF4720-26AD-4FF3-A924-C58117A614F7");

// S_OK with one reference in `*frame` (the interface of `kind`), or E_FAIL with null. With
// `visible_only` hidden windows are skipped.
HRESULT FindFrameOfCurrentThread(LONG kind, IUnknown** frame, bool visible_only);

}  // namespace Thread
