// CUIExtListener: the IUIExtListener the extension manager hands to the browser's UI
// extension-point manager. It forwards the three events the browser raises (a button click, a
// click on an entry of a button's menu, the guide shown or hidden) to three handler slots, each
// a member-function pointer into CExtensionMgrImpl.
//
//   listener->Install(impl, &CExtensionMgrImpl::OnUIExtClickEvent,
//                     &CExtensionMgrImpl::OnUIExtMenuClickEvent,
//                     &CExtensionMgrImpl::OnUIExtShowGuide);   // switch user
//   ui_points->SetListener(listener);
//   listener->Clear();                                         // uninitialize: slots answer -1
//
// Thread-safe: the browser calls the slots on its UI thread while the manager installs and
// clears the handlers on others; the handlers are read under a lock and called without it.
#pragma once

#include <mutex>

#include "base/ref_counted.h"
#include "extension/ui_ext_pt_mgr.h"
#include "platform/com_object.h"

namespace Logic {

class CExtensionMgrImpl;

class CUIExtListener : public halcy::ComObjectRoot, public IUIExtListener {
 public:
  HALCY_BEGIN_INTERFACES(CUIExtListener)
  HALCY_INTERFACE(CUIExtListener, IUIExtListener)
  HALCY_END_INTERFACES()

  using MenuClickHandler = HRESULT (CExtensionMgrImpl::*)(BSTR extension_id, BSTR point_id,
                                                          LONG frame_id, LONG menu_id);
  using ButtonClickHandler = HRESULT (CExtensionMgrImpl::*)(BSTR extension_id, BSTR point_id,
                                                            BSTR url, LONG tab_id, LONG frame_id,
                                                            LONG left_button, BSTR button_name);
  using GuideShowHandler = HRESULT (CExtensionMgrImpl::*)(BSTR extension_id, LONG value, BSTR url,
                                                          LONG show);

  // Keeps a reference on `manager` until Clear.
  void Install(CExtensionMgrImpl* manager, ButtonClickHandler click, MenuClickHandler menu_click,
               GuideShowHandler guide);
  // Empties the three slots and lets go of the manager.
  void Clear();

  // --- IUIExtListener: -1 while no manager or the slot is empty, else the handler's result ---
  HRESULT OnMenuClick(BSTR extension_id, BSTR point_id, LONG frame_id, LONG menu_id) override;
  HRESULT OnButtonClick(BSTR extension_id, BSTR point_id, BSTR url, LONG tab_id, LONG frame_id,
                        LONG left_button, BSTR button_name) override;
  HRESULT OnGuideShow(BSTR extension_id, LONG value, BSTR url, LONG show) override;
  HRESULT QueryEnabled(LONG* answer) override;

 private:
  struct Handlers {
    base::RefPtr<CExtensionMgrImpl> manager;
    ButtonClickHandler click = nullptr;
    MenuClickHandler menu_click = nullptr;
    GuideShowHandler guide = nullptr;
  };
  Handlers Copy() const;

  mutable std::mutex lock_;
  Handlers handlers_;  // Guarded by lock_
};

}  // namespace Logic
