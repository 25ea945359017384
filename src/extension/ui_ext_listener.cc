#include "extension/ui_ext_listener.h"

#include "extension/extension_mgr_impl.h"

namespace Logic {
namespace {

// What a slot answers when the manager is gone or its handler was cleared.
constexpr HRESULT kNoHandler = -1;

}  // namespace

void CUIExtListener::Install(CExtensionMgrImpl* manager, ButtonClickHandler click,
                             MenuClickHandler menu_click, GuideShowHandler guide) {
  Handlers installed{base::RefPtr<CExtensionMgrImpl>(manager), click, menu_click, guide};
  std::lock_guard<std::mutex> hold(lock_);
  std::swap(handlers_, installed);
  // The previous manager reference goes with `installed`, after the lock.
}

void CUIExtListener::Clear() {
  Handlers cleared;
  {
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(handlers_, cleared);
  }
}

CUIExtListener::Handlers CUIExtListener::Copy() const {
  std::lock_guard<std::mutex> hold(lock_);
  return handlers_;
}

HRESULT CUIExtListener::OnMenuClick(BSTR extension_id, BSTR point_id, LONG frame_id, LONG menu_id) {
  Handlers h = Copy();
  if (!h.manager || !h.menu_click) return kNoHandler;
  return (h.manager.get()->*h.menu_click)(extension_id, point_id, frame_id, menu_id);
}

HRESULT CUIExtListener::OnButtonClick(BSTR extension_id, BSTR point_id, BSTR url, LONG tab_id,
                                      LONG frame_id, LONG left_button, BSTR button_name) {
  Handlers h = Copy();
  if (!h.manager || !h.click) return kNoHandler;
  return (h.manager.get()->*h.click)(extension_id, point_id, url, tab_id, frame_id, left_button,
                                     button_name);
}

HRESULT CUIExtListener::OnGuideShow(BSTR extension_id, LONG value, BSTR url, LONG show) {
  Handlers h = Copy();
  if (!h.manager || !h.guide) return kNoHandler;
  return (h.manager.get()->*h.guide)(extension_id, value, url, show);
}

HRESULT CUIExtListener::QueryEnabled(LONG* answer) {
  if (answer) *answer = 1;
  return S_OK;
}

}  // namespace Logic
