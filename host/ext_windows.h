// The browser's window services for extensions (command/browser_windows.h): the extension
// window manager over the skinned windows extensions opened (host/skin_windows.h), the menu
// window manager (menu-window state per extension and window id, menu bubbles), and the popup
// menu object. Each call the module makes on them is printed as a {"to":"ui",...} line
// (host/ui_call_log.h). A popup menu that is shown marks its window's menu as up (state 1) and
// becomes the menu shown last; Select on it (the scenario's "selectmenu") calls its selection
// callback, IExtMenuCmdHostBase::OnSelectMenu, and the menu is down again.
//
// CContextMenuPrinter is the browser's context-menu code: a listener of the context menu
// manager that prints {"to":"contextmenu","json":"..."} for each menu JSON it is given.
//
// Window rectangles: every extension window handed out by GetWindowHandle has the fixed screen
// rectangle kExtWindowRect (platform/window_rect.h), against which menus are placed.
//
//   auto menus = std::make_shared<host::CExtMenuTable>(log);
//   ... publish CExtWindowMgr, CExtMenuWindowMgr and CExtPopupMenu::Factory(menus) ...
//   services.RunOnThread(kThreadUI, [&] { menus->SelectLastShown(3, 1); });
//
// Free-threaded: the table is under its own lock, never held while the log is written or the
// module is called. The browser calls the selection callback on its UI thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "command/browser_windows.h"
#include "command/extension_context_menu_mgr.h"
#include "host/skin_windows.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/window_rect.h"

namespace host {

inline constexpr RECT kExtWindowRect{100, 80, 500, 380};

class CExtPopupMenu;

// Menu-window state per (extension id, window id) and the popup menu shown last.
class CExtMenuTable {
 public:
  explicit CExtMenuTable(std::shared_ptr<CUiCallLog> log) : log_(std::move(log)) {}

  CUiCallLog* log() const { return log_.get(); }
  LONG State(const std::u16string& extension_id, const std::u16string& window_id) const;
  void SetState(const std::u16string& extension_id, const std::u16string& window_id, LONG state);
  void SetLastShown(ComPtr<CExtPopupMenu> menu);
  // Calls the selection callback of the menu shown last; false when no menu was shown.
  // REQUIRES: the UI thread (where the browser's menus live).
  bool SelectLastShown(LONG menu_id, LONG menu_event_id);
  // Drops the menu shown last (and the module reference it holds).
  void Clear();

 private:
  const std::shared_ptr<CUiCallLog> log_;
  mutable std::mutex lock_;
  std::map<std::pair<std::u16string, std::u16string>, LONG> states_;  // Guarded by lock_
  ComPtr<CExtPopupMenu> last_shown_;                                  // Guarded by lock_
};

class CExtWindowMgr : public halcy::ComObjectRoot, public Logic::IExtWindowMgr {
 public:
  HALCY_BEGIN_INTERFACES(CExtWindowMgr)
  HALCY_INTERFACE(CExtWindowMgr, Logic::IExtWindowMgr)
  HALCY_END_INTERFACES()

  explicit CExtWindowMgr(std::shared_ptr<CSkinWindowTable> windows)
      : windows_(std::move(windows)) {}

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT CloseWindow(BSTR extension_id, BSTR window_id) override;
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT UpdateWindow(BSTR extension_id, BSTR window_id, LONG element_id, BSTR update) override;
  HRESULT GetWindowHandle(BSTR extension_id, BSTR window_id, HANDLE* window) override;

 private:
  const std::shared_ptr<CSkinWindowTable> windows_;
};

class CExtMenuWindowMgr : public halcy::ComObjectRoot, public Logic::IExtMenuWindowMgr {
 public:
  HALCY_BEGIN_INTERFACES(CExtMenuWindowMgr)
  HALCY_INTERFACE(CExtMenuWindowMgr, Logic::IExtMenuWindowMgr)
  HALCY_END_INTERFACES()

  explicit CExtMenuWindowMgr(std::shared_ptr<CExtMenuTable> menus) : menus_(std::move(menus)) {}

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT CloseMenuWindow(BSTR extension_id, BSTR window_id) override;
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ShowMenuBubble(BSTR extension_id, BSTR window_id, LONG id, BSTR url, LONG width,
                         LONG height) override;
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT GetMenuWindowState(BSTR extension_id, BSTR window_id, LONG* state) override;

 private:
  const std::shared_ptr<CExtMenuTable> menus_;
};

class CExtPopupMenu : public halcy::ComObjectRoot, public Logic::IExtPopupMenu {
 public:
  HALCY_BEGIN_INTERFACES(CExtPopupMenu)
  HALCY_INTERFACE(CExtPopupMenu, Logic::IExtPopupMenu)
  HALCY_END_INTERFACES()

  // The creatable-class entry that makes menus entering `menus`.
  static halcy::CreatableClass Factory(std::shared_ptr<CExtMenuTable> menus);

  explicit CExtPopupMenu(std::shared_ptr<CExtMenuTable> menus) : menus_(std::move(menus)) {}

  HRESULT Setup(BSTR extension_id, BSTR window_id, BSTR menu_items) override;
  HRESULT SetSelectionCallback(LONG position, IUnknown* callback) override;
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT Show(LONG left, LONG top, LONG right, LONG bottom, LONG placement) override;

  // The user picked (menu id, menu event id): the menu goes down and tells its callback.
  HRESULT Select(LONG menu_id, LONG menu_event_id);

 private:
  const std::shared_ptr<CExtMenuTable> menus_;
  std::mutex lock_;
  std::u16string extension_id_, window_id_;  // Guarded by lock_
  ComPtr<IUnknown> callback_;                // Guarded by lock_
};

class CContextMenuPrinter : public halcy::ComObjectRoot, public Logic::IExtContextMenuListener {
 public:
  HALCY_BEGIN_INTERFACES(CContextMenuPrinter)
  HALCY_INTERFACE(CContextMenuPrinter, Logic::IExtContextMenuListener)
  HALCY_END_INTERFACES()

  // The line for `menu_json`, without a line feed.
  static std::string Line(std::u16string_view menu_json);

  explicit CContextMenuPrinter(CUiCallLog::LineWriter writer) : writer_(std::move(writer)) {}
  HRESULT OnContextMenuChanged(BSTR menu_json) override;

 private:
  const CUiCallLog::LineWriter writer_;  // constant; called from the listener's thread
};

}  // namespace host
