// CExtMenuCmdHostImpl: the menu command host. It reuses the common command host's dispatch
// (CExtCommonCmdHostImpl) with tables of its own: nothing synchronous, and four commands that
// always run on the UI thread as task "iter->second":
//   "extension.invoke.ui.showmenu"         a popup menu against an extension window
//   "extension.invoke.ui.showmenububle"    a menu bubble (348 by 245 unless told otherwise)
//   "extension.invoke.ui.closemenuwindow"  closes a menu window and its extension window
//   "extension.invoke.ui.showmenuwindow"   a skinned menu window
// None replies. Any other command gives E_NOTIMPL. The popup menu calls back OnSelectMenu,
// which tells the extension that opened the latest menu (the menu owner) which entry was
// picked.
//
// Threads: the handlers and OnSelectMenu run on the UI thread only, so the menu owner needs
// no lock. Lifetime as the common host's: posted tasks keep the COM object alive.
#pragma once

#include <string>

#include "command/ext_common_cmd_host_impl.h"
#include "command/ext_menu_cmd_host.h"

namespace Logic {

class CExtMenuCmdHostImpl : public CExtCommonCmdHostImpl {
 public:
  // `owner`: the COM object holding this implementation, also the popup menu's selection
  // callback (borrowed; it owns us).
  explicit CExtMenuCmdHostImpl(IExtMenuCmdHostBase* owner);

  // REQUIRES: the UI thread.
  HRESULT OnSelectMenu(LONG menu_id, LONG menu_event_id);

  // The selection text sent for (menu id, menu event id), tabs and spaces as the extensions
  // expect them.
  static std::u16string SelectionPayload(LONG menu_id, LONG menu_event_id);

 private:
  static const CommandRow kMenuCommandRows[];

  HRESULT ShowMenu(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowMenuBubble(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT CloseMenuWindow(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowMenuWindow(BSTR extension_id, BSTR arguments, LONG request_context);

  // Creates, sets up and shows the popup menu against `window`; false when no menu object
  // could be created.
  bool PopUpMenu(const std::u16string& extension_id, const std::u16string& window_id,
                 const std::u16string& menu_items, LONG position, HANDLE window);

  // Constant after construction.
  IExtMenuCmdHostBase* const selection_callback_;
  // The extension that opened the latest menu. Touched on the UI thread only.
  std::u16string menu_owner_;
};

}  // namespace Logic
