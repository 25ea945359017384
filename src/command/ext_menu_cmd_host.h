// IExtMenuCmdHost: how the extension manager wires itself into the menu command host, and
// IExtMenuCmdHostBase, the selection callback the browser's popup menu object calls when the
// user picks an entry. Both are answered at the same pointer.
//
// Threads: the selection comes on the UI thread; wiring happens once on the manager's thread
// before the host is registered.
#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

class CExtensionMgrImpl;

struct IExtMenuCmdHostBase : IUnknown {
  static constexpr IID kIID = kIID_IExtMenuCmdHostBase;
  // 3: sends "extension.notify.ui.selectmenu" with the two ids to the extension that opened
  // the latest menu; S_OK.
  virtual HRESULT OnSelectMenu(LONG menu_id, LONG menu_event_id) = 0;
};

struct IExtMenuCmdHost : IExtMenuCmdHostBase {
  static constexpr IID kIID = kIID_IExtMenuCmdHost;
  // 4: stores the manager (no reference: the manager owns the host and outlives it).
  virtual HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) = 0;
  // 5: does nothing.
  virtual HRESULT DetachExtensionMgr() = 0;
};

}  // namespace Logic
