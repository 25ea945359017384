// The browser's window services for extensions' own windows, as the command hosts see them:
// the extension window manager (skinned windows an extension opened), the menu window manager
// (menu windows and menu bubbles), the popup menu object, and the skinned window class. The
// browser (plexore-host) implements them and registers them with the object factory; the
// module looks them up for each use and keeps no reference.
//
// Slot numbers the browser fixes keep their places; the slots in between are reserved and
// answer E_NOTIMPL. Strings are BSTRs, numbers 32-bit.
//
// Threads: the windows belong to the browser's UI thread, and the handlers that call these
// services run there.
#pragma once

#include "platform/com.h"

namespace Logic {

// The extension window manager: skinned windows opened by extensions, by (extension, window id).
struct IExtWindowMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("E4178E5C-2786-4756-82CD-24FA7DC3F9A7");
  virtual HRESULT ReservedSlot3() = 0;
  // 4: closes the extension's window `window_id` (S_FALSE when there is none).
  virtual HRESULT CloseWindow(BSTR extension_id, BSTR window_id) = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  // 7: hands `update` to the element `element_id` (-1: the window) of the window.
  virtual HRESULT UpdateWindow(BSTR extension_id, BSTR window_id, LONG element_id, BSTR update) = 0;
  // 8: the window's handle (S_FALSE and null when there is none).
  virtual HRESULT GetWindowHandle(BSTR extension_id, BSTR window_id, HANDLE* window) = 0;
};

// The menu window manager: menu windows and menu bubbles of extensions.
struct IExtMenuWindowMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("B5E5EDA9-BA5A-4638-90CD-48264975835F");
  virtual HRESULT ReservedSlot3() = 0;
  // 4: closes the menu window `window_id` of the extension.
  virtual HRESULT CloseMenuWindow(BSTR extension_id, BSTR window_id) = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  // 8: shows a menu bubble of the extension showing `url`, width by height.
  virtual HRESULT ShowMenuBubble(BSTR extension_id, BSTR window_id, LONG id, BSTR url, LONG width,
                                 LONG height) = 0;
  virtual HRESULT ReservedSlot9() = 0;
  // 10: the state of the menu window; 1 means a menu is up.
  virtual HRESULT GetMenuWindowState(BSTR extension_id, BSTR window_id, LONG* state) = 0;
};

// A popup menu, created by this IID for each menu shown.
struct IExtPopupMenu : IUnknown {
  static constexpr IID kIID = MakeGuid("8BCCE046-7957-4A17-A7EA-81C2ADD8680E");
  // 3: the menu's owner and its items, in the text the menu understands.
  virtual HRESULT Setup(BSTR extension_id, BSTR window_id, BSTR menu_items) = 0;
  // 4: the object told of the selection (the menu command host's IExtMenuCmdHostBase).
  virtual HRESULT SetSelectionCallback(LONG position, IUnknown* callback) = 0;
  virtual HRESULT ReservedSlot5() = 0;
  // 6: shows the menu against the rectangle (left, top, right, bottom); `placement` 0 or 1.
  virtual HRESULT Show(LONG left, LONG top, LONG right, LONG bottom, LONG placement) = 0;
};

// A skinned independent window of an extension (class {2D1C3BEF-3AD5-435E-9B1B-ECBA3BF82135},
// created by this IID).
struct ISkinWindow : IUnknown {
  static constexpr IID kIID = MakeGuid("2D1C3BEF-3AD5-435E-9B1B-ECBA3BF82135");
  // 3: the skin's location ("extskin:\ID\FILE.xml"), the window id and the owning extension.
  virtual HRESULT InitSkinWindow(BSTR skin, BSTR window_id, BSTR extension_id) = 0;
  // 4: shows the window owned by `owner` at (x, y); `arg1` and `arg2` are the browser's.
  virtual HRESULT ShowSkinWindow(HANDLE owner, LONG x, LONG y, LONG arg1, LONG arg2) = 0;
};

}  // namespace Logic
