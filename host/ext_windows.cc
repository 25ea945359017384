#include "host/ext_windows.h"

#include "command/ext_menu_cmd_host.h"
#include "host/service_registrations.h"
#include "platform/bstr.h"

namespace host {
// --- CExtMenuTable ---

LONG CExtMenuTable::State(const std::u16string& extension_id,
                          const std::u16string& window_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = states_.find({extension_id, window_id});
  return it == states_.end() ? 0 : it->second;
}

void CExtMenuTable::SetState(const std::u16string& extension_id, const std::u16string& window_id,
                             LONG state) {
  std::lock_guard<std::mutex> hold(lock_);
  states_[{extension_id, window_id}] = state;
}

void CExtMenuTable::SetLastShown(ComPtr<CExtPopupMenu> menu) {
  std::lock_guard<std::mutex> hold(lock_);
  last_shown_ = std::move(menu);
}

bool CExtMenuTable::SelectLastShown(LONG menu_id, LONG menu_event_id) {
  ComPtr<CExtPopupMenu> menu;
  {
    std::lock_guard<std::mutex> hold(lock_);
    menu = last_shown_;
  }
  if (!menu) return false;
  menu->Select(menu_id, menu_event_id);
  return true;
}

void CExtMenuTable::Clear() {
  ComPtr<CExtPopupMenu> dropped;  // released after the lock is gone
  std::lock_guard<std::mutex> hold(lock_);
  dropped = std::move(last_shown_);
  states_.clear();
}

// --- CExtWindowMgr ---

HRESULT CExtWindowMgr::CloseWindow(BSTR extension_id, BSTR window_id) {
  windows_->log()->Record("CloseWindow", {extension_id, window_id});
  std::optional<CSkinWindowTable::Window> window =
      windows_->Find(halcy::BstrText(extension_id), halcy::BstrText(window_id));
  if (!window) return S_FALSE;
  halcy::ForgetWindowRect(window->handle);
  windows_->Remove(halcy::BstrText(extension_id), halcy::BstrText(window_id));
  return S_OK;
}

HRESULT CExtWindowMgr::UpdateWindow(BSTR extension_id, BSTR window_id, LONG element_id,
                                    BSTR update) {
  windows_->log()->Record("UpdateWindow", {extension_id, window_id, element_id, update});
  return windows_->Find(halcy::BstrText(extension_id), halcy::BstrText(window_id)) ? S_OK : S_FALSE;
}

HRESULT CExtWindowMgr::GetWindowHandle(BSTR extension_id, BSTR window_id, HANDLE* window) {
  if (!window) return E_POINTER;
  *window = nullptr;
  std::optional<CSkinWindowTable::Window> found =
      windows_->Find(halcy::BstrText(extension_id), halcy::BstrText(window_id));
  if (found) {
    *window = found->handle;
    halcy::SetWindowRectOf(found->handle, kExtWindowRect);
  }
  windows_->log()->Record("GetWindowHandle", {extension_id, window_id, HandleArg(*window)});
  return found ? S_OK : S_FALSE;
}

// --- CExtMenuWindowMgr ---

HRESULT CExtMenuWindowMgr::CloseMenuWindow(BSTR extension_id, BSTR window_id) {
  menus_->log()->Record("CloseMenuWindow", {extension_id, window_id});
  menus_->SetState(halcy::BstrText(extension_id), halcy::BstrText(window_id), 0);
  return S_OK;
}

HRESULT CExtMenuWindowMgr::ShowMenuBubble(BSTR extension_id, BSTR window_id, LONG id, BSTR url,
                                          LONG width, LONG height) {
  menus_->log()->Record("ShowMenuBubble", {extension_id, window_id, id, url, width, height});
  return S_OK;
}

HRESULT CExtMenuWindowMgr::GetMenuWindowState(BSTR extension_id, BSTR window_id, LONG* state) {
  if (!state) return E_POINTER;
  *state = menus_->State(halcy::BstrText(extension_id), halcy::BstrText(window_id));
  menus_->log()->Record("GetMenuWindowState", {extension_id, window_id, *state});
  return S_OK;
}

// --- CExtPopupMenu ---

halcy::CreatableClass CExtPopupMenu::Factory(std::shared_ptr<CExtMenuTable> menus) {
  return MakeObjectFactory<CExtPopupMenu>(std::move(menus));
}

HRESULT CExtPopupMenu::Setup(BSTR extension_id, BSTR window_id, BSTR menu_items) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    extension_id_ = halcy::BstrText(extension_id);
    window_id_ = halcy::BstrText(window_id);
  }
  menus_->log()->Record("Setup", {extension_id, window_id, menu_items});
  return S_OK;
}

HRESULT CExtPopupMenu::SetSelectionCallback(LONG position, IUnknown* callback) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    callback_ = ComPtr<IUnknown>(callback);
  }
  menus_->log()->Record("SetSelectionCallback", {position});
  return S_OK;
}

HRESULT CExtPopupMenu::Show(LONG left, LONG top, LONG right, LONG bottom, LONG placement) {
  std::u16string extension_id, window_id;
  {
    std::lock_guard<std::mutex> hold(lock_);
    extension_id = extension_id_;
    window_id = window_id_;
  }
  menus_->log()->Record("Show", {left, top, right, bottom, placement});
  menus_->SetState(extension_id, window_id, 1);
  menus_->SetLastShown(ComPtr<CExtPopupMenu>(this));
  return S_OK;
}

HRESULT CExtPopupMenu::Select(LONG menu_id, LONG menu_event_id) {
  std::u16string extension_id, window_id;
  ComPtr<IUnknown> callback;
  {
    std::lock_guard<std::mutex> hold(lock_);
    extension_id = extension_id_;
    window_id = window_id_;
    callback = callback_;
  }
  menus_->SetState(extension_id, window_id, 0);  // a pick closes the menu
  ComPtr<Logic::IExtMenuCmdHostBase> target;
  if (!callback || FAILED(callback->QueryInterface(Logic::IExtMenuCmdHostBase::kIID,
                                                   target.ReleaseAndGetVoidAddress()))) {
    return S_FALSE;
  }
  return target->OnSelectMenu(menu_id, menu_event_id);
}

// --- CContextMenuPrinter ---

std::string CContextMenuPrinter::Line(std::u16string_view menu_json) {
  return "{\"to\":\"contextmenu\",\"json\":" + JsonQuoted(menu_json) + "}";
}

HRESULT CContextMenuPrinter::OnContextMenuChanged(BSTR menu_json) {
  if (writer_) writer_(Line(halcy::BstrText(menu_json)));
  return S_OK;
}

}  // namespace host
