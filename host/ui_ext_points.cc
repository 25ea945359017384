#include "host/ui_ext_points.h"

#include "platform/bstr.h"

namespace host {
// --- CUIExtDescription ---

HRESULT CUIExtDescription::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CUIExtDescription>(nullptr, iid, out);
}

HRESULT CUIExtDescription::SetExtensionId(BSTR extension_id) {
  std::lock_guard<std::mutex> hold(lock_);
  extension_id_ = halcy::BstrText(extension_id);
  return S_OK;
}

HRESULT CUIExtDescription::AddPoint(BSTR point_id, BSTR point_json) {
  if (!point_id || !*point_id) return E_INVALIDARG;
  std::lock_guard<std::mutex> hold(lock_);
  points_.emplace_back(halcy::BstrText(point_id), halcy::BstrText(point_json));
  return S_OK;
}

HRESULT CUIExtDescription::GetExtensionId(BSTR* extension_id) {
  std::lock_guard<std::mutex> hold(lock_);
  return halcy::CopyToBstr(extension_id_, extension_id);
}

HRESULT CUIExtDescription::GetPointCount(LONG* count) {
  if (!count) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *count = static_cast<LONG>(points_.size());
  return S_OK;
}

HRESULT CUIExtDescription::GetPoint(LONG index, BSTR* point_id, BSTR* point_json) {
  if (!point_id || !point_json) return E_POINTER;
  *point_id = *point_json = nullptr;
  std::lock_guard<std::mutex> hold(lock_);
  if (index < 0 || static_cast<size_t>(index) >= points_.size()) return E_INVALIDARG;
  HRESULT hr = halcy::CopyToBstr(points_[index].first, point_id);
  if (SUCCEEDED(hr)) hr = halcy::CopyToBstr(points_[index].second, point_json);
  return hr;
}

// --- CUIExtPtMgr: observation ---

std::map<std::u16string, std::u16string> CUIExtPtMgr::Points(
    const std::u16string& extension_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = registrations_.find(extension_id);
  return it == registrations_.end() ? std::map<std::u16string, std::u16string>() : it->second;
}

std::vector<std::u16string> CUIExtPtMgr::RegisteredExtensions() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::u16string> ids;
  for (const auto& [id, points] : registrations_) ids.push_back(id);
  return ids;
}

ComPtr<Logic::IUIExtListener> CUIExtPtMgr::listener() const {
  std::lock_guard<std::mutex> hold(lock_);
  return listener_;
}

// --- CUIExtPtMgr: what the user does ---

std::u16string CUIExtPtMgr::PointIdentifier(std::u16string_view point) {
  for (const Logic::UIExtPoint& known : Logic::kUIExtPoints) {
    if (point == known.manifest_key || point == known.identifier) return known.identifier;
  }
  return std::u16string();
}

HRESULT CUIExtPtMgr::Click(const std::u16string& extension_id, const std::u16string& point_id,
                           const std::u16string& url, LONG tab_id, LONG frame_id, bool left_button,
                           const std::u16string& button_name) {
  ComPtr<Logic::IUIExtListener> target = listener();
  if (!target) return E_FAIL;
  halcy::ScopedBstr id(extension_id), point(point_id), address(url), button(button_name);
  return target->OnButtonClick(id.Get(), point.Get(), address.Get(), tab_id, frame_id,
                               left_button ? 1 : 0, button.Get());
}

HRESULT CUIExtPtMgr::MenuClick(const std::u16string& extension_id, const std::u16string& point_id,
                               LONG frame_id, LONG menu_id) {
  ComPtr<Logic::IUIExtListener> target = listener();
  if (!target) return E_FAIL;
  halcy::ScopedBstr id(extension_id), point(point_id);
  return target->OnMenuClick(id.Get(), point.Get(), frame_id, menu_id);
}

// --- CUIExtPtMgr: registrations ---

HRESULT CUIExtPtMgr::RegisterDescription(IUnknown* description, LONG flag) {
  ComPtr<Logic::IUIExtDescription> desc;
  if (!description || FAILED(description->QueryInterface(Logic::IUIExtDescription::kIID,
                                                         reinterpret_cast<void**>(&desc)))) {
    return E_INVALIDARG;
  }
  halcy::ScopedBstr id;
  LONG count = 0;
  if (FAILED(desc->GetExtensionId(id.Receive())) || id.View().empty() ||
      FAILED(desc->GetPointCount(&count))) {
    return E_INVALIDARG;
  }
  std::map<std::u16string, std::u16string> points;
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr point, json;
    if (FAILED(desc->GetPoint(i, point.Receive(), json.Receive()))) return E_INVALIDARG;
    points[std::u16string(point.View())] = std::u16string(json.View());
  }
  const std::u16string extension_id(id.View());
  // The points are moved into the table; the lines, written after it, need a copy only when
  // someone reads them (a writer set during this call may see the first line alone).
  const int registered = static_cast<int>(points.size());
  const std::map<std::u16string, std::u16string> logged =
      log_->HasWriter() ? points : std::map<std::u16string, std::u16string>();
  {
    std::lock_guard<std::mutex> hold(lock_);
    registrations_[extension_id] = std::move(points);  // a new description replaces the old one
  }
  log_->Record("RegisterDescription", {extension_id, registered, flag});
  for (const auto& [point, json] : logged) log_->Record("AddPoint", {extension_id, point, json});
  return S_OK;
}

HRESULT CUIExtPtMgr::RemoveOrRefresh(BSTR extension_id, LONG flag) {
  const std::u16string id = halcy::BstrText(extension_id);
  if (flag == 0) {
    std::lock_guard<std::mutex> hold(lock_);
    registrations_.erase(id);
  }
  log_->Record("RemoveOrRefresh", {id, flag});
  return S_OK;
}

HRESULT CUIExtPtMgr::SetListener(Logic::IUIExtListener* listener) {
  std::lock_guard<std::mutex> hold(lock_);
  listener_ = ComPtr<Logic::IUIExtListener>(listener);
  return S_OK;
}

HRESULT CUIExtPtMgr::GetRegisteredExtensions(BSTR* ids) {
  std::u16string text;
  for (const std::u16string& id : RegisteredExtensions()) {
    if (!text.empty()) text += u"\n";
    text += id;
  }
  return halcy::CopyToBstr(text, ids);
}

// --- CUIExtPtMgr: what the browser shows; recorded only ---

HRESULT CUIExtPtMgr::ShowPointBubble(BSTR point_id, LONG extension, BSTR text, LONG frame_id,
                                     LONG width, LONG height) {
  log_->Record("ShowPointBubble", {point_id, extension, text, frame_id, width, height});
  return S_OK;
}

HRESULT CUIExtPtMgr::PostCommand(BSTR point_id, BSTR extension_id, LONG value1, LONG value2,
                                 BSTR command) {
  log_->Record("PostCommand", {point_id, extension_id, value1, value2, command});
  return S_OK;
}

HRESULT CUIExtPtMgr::ShowPageExtension(BSTR extension_id, LONG frame_id, BSTR url, BSTR icon_group,
                                       LONG tab_id, BSTR point_id, LONG weight, BSTR button_name,
                                       LONG press_die) {
  log_->Record("ShowPageExtension", {extension_id, frame_id, url, icon_group, tab_id, point_id,
                                     weight, button_name, press_die});
  return S_OK;
}

HRESULT CUIExtPtMgr::ShowBubble(BSTR point_id, BSTR extension_id, LONG frame_id, BSTR html_page,
                                LONG show_time, LONG forced_show_time, LONG width, LONG height,
                                LONG tab_id) {
  log_->Record("ShowBubble", {point_id, extension_id, frame_id, html_page, show_time,
                              forced_show_time, width, height, tab_id});
  return S_OK;
}

HRESULT CUIExtPtMgr::NewTabNavigate(BSTR extension_id, LONG frame_id, BSTR url) {
  log_->Record("NewTabNavigate", {extension_id, frame_id, url});
  return S_OK;
}

HRESULT CUIExtPtMgr::TabNavigate(BSTR extension_id, LONG tab_id, BSTR url, LONG activate) {
  log_->Record("TabNavigate", {extension_id, tab_id, url, activate});
  return S_OK;
}

HRESULT CUIExtPtMgr::ShowSideBubble(BSTR side_bar_id, BSTR extension_id, BSTR arguments,
                                    LONG request_context, LONG frame_id, LONG active_tab_id) {
  log_->Record("ShowSideBubble",
               {side_bar_id, extension_id, arguments, request_context, frame_id, active_tab_id});
  return S_OK;
}

HRESULT CUIExtPtMgr::UpdateInfo(BSTR extension_id, BSTR info_name, BSTR info, BSTR point_id,
                                LONG frame_id, LONG tab_id) {
  log_->Record("UpdateInfo", {extension_id, info_name, info, point_id, frame_id, tab_id});
  return S_OK;
}

HRESULT CUIExtPtMgr::ShowGuide(BSTR point_id, BSTR guide_text, BSTR extension_id, LONG tab_id,
                               LONG frame_id) {
  log_->Record("ShowGuide", {point_id, guide_text, extension_id, tab_id, frame_id});
  return S_OK;
}

HRESULT CUIExtPtMgr::ShowExtension(BSTR side_bar_id, BSTR extension_id, LONG tab_id, LONG frame_id,
                                   LONG show) {
  log_->Record("ShowExtension", {side_bar_id, extension_id, tab_id, frame_id, show});
  return S_OK;
}

}  // namespace host
