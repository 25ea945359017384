#include "host/skin_windows.h"

#include "host/service_registrations.h"
#include "platform/bstr.h"

namespace host {
HANDLE CSkinWindowTable::Add(const std::u16string& extension_id, const std::u16string& window_id,
                             const std::u16string& skin, HANDLE owner) {
  std::lock_guard<std::mutex> hold(lock_);
  Window window{skin, reinterpret_cast<HANDLE>(next_handle_), owner};
  next_handle_ += 0x10;
  windows_[{extension_id, window_id}] = window;
  return window.handle;
}

std::optional<CSkinWindowTable::Window> CSkinWindowTable::Find(
    const std::u16string& extension_id, const std::u16string& window_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = windows_.find({extension_id, window_id});
  if (it == windows_.end()) return std::nullopt;
  return it->second;
}

bool CSkinWindowTable::Remove(const std::u16string& extension_id, const std::u16string& window_id) {
  std::lock_guard<std::mutex> hold(lock_);
  return windows_.erase({extension_id, window_id}) > 0;
}

halcy::CreatableClass CSkinWindow::Factory(std::shared_ptr<CSkinWindowTable> table) {
  return MakeObjectFactory<CSkinWindow>(std::move(table));
}

HRESULT CSkinWindow::InitSkinWindow(BSTR skin, BSTR window_id, BSTR extension_id) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    skin_ = halcy::BstrText(skin);
    window_id_ = halcy::BstrText(window_id);
    extension_id_ = halcy::BstrText(extension_id);
  }
  table_->log()->Record("InitSkinWindow", {skin, window_id, extension_id});
  return S_OK;
}

HRESULT CSkinWindow::ShowSkinWindow(HANDLE owner, LONG x, LONG y, LONG arg1, LONG arg2) {
  std::u16string skin, window_id, extension_id;
  {
    std::lock_guard<std::mutex> hold(lock_);
    skin = skin_;
    window_id = window_id_;
    extension_id = extension_id_;
  }
  if (extension_id.empty() || window_id.empty()) return E_UNEXPECTED;  // not initialised
  table_->Add(extension_id, window_id, skin, owner);
  table_->log()->Record("ShowSkinWindow", {HandleArg(owner), x, y, arg1, arg2});
  return S_OK;
}

}  // namespace host
