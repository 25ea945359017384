// IExtensionNotifyMgr: how the browser tells the extension system what happens in its windows
// and to its user (tabs, frames, login, accelerators), and CExtensionNotifyMgr, the creatable
// class behind it. Each call becomes one named event ("extension.notify.<area>.<event>") with a
// small pair-object payload, which the manager hands to the extension manager to broadcast to
// every extension; the accelerator event goes to the one extension that owns the accelerator.
//
//   ComPtr<IExtensionNotifyMgr> notify = Logic::GetExtensionNotifyMgr();
//   notify->NotifyAddTab(11, 1);  // broadcasts {"tab_id":"11","frame_id":"1"}
//
// Free-threaded and stateless: the browser calls it from its own threads (normally the UI
// thread); every call looks the extension manager up anew and only builds texts, so no lock is
// taken here.
#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

struct IExtensionNotifyMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionNotifyMgr;

  // 3, 4: nothing to do; S_OK.
  virtual HRESULT Initialize() = 0;
  virtual HRESULT UnInitialize() = 0;
  // 5: "extension.notify.utility.urlchange" {"old", "new", "tab_id"}.
  virtual HRESULT NotifyUrlChange(BSTR old_url, BSTR new_url, LONG tab_id) = 0;
  // 6: "extension.notify.utility.navigate" {"url"}.
  virtual HRESULT NotifyNavigate(BSTR url) = 0;
  // 7: "extension.notify.utility.switchtab" {"old", "old_url", "new", "new_url", "flag"};
  // E_FAIL when the extension manager is not available.
  virtual HRESULT NotifySwitchTab(LONG old_tab_id, BSTR old_url, LONG new_tab_id, BSTR new_url,
                                  LONG flag) = 0;
  // 8: "extension.notify.utility.closetab" {"tab_id", "frame_id", "url", "retaincore"}.
  virtual HRESULT NotifyCloseTab(LONG tab_id, LONG frame_id, BSTR url, LONG retain_core) = 0;
  // 9: "extension.notify.utility.addtab" {"tab_id", "frame_id"}.
  virtual HRESULT NotifyAddTab(LONG tab_id, LONG frame_id) = 0;
  // 10: "extension.notify.utility.documentcomplete" {"tab_id", "url"}.
  virtual HRESULT NotifyDocumentComplete(LONG tab_id, BSTR url) = 0;
  // 11: "extension.notify.utility.refresh" {"tab_id", "url"}.
  virtual HRESULT NotifyRefresh(LONG tab_id, BSTR url) = 0;
  // 12: "extension.notify.login.login" {"userid", "user", "cookie", "firstlogin"}.
  virtual HRESULT NotifyLogin(BSTR user_id, BSTR user, BSTR info, LONG first_login) = 0;
  // 13: "extension.notify.login.logout" {"userid", "user"}.
  virtual HRESULT NotifyLogout(BSTR user_id, BSTR user) = 0;
  // 14: "extension.notify.login.switch" {"old_user", "new_user"}.
  virtual HRESULT NotifySwitchUser(BSTR old_user, BSTR new_user) = 0;
  // 15: "extension.notify.utility.isframefullscreen" {"frame_id", "status"}.
  virtual HRESULT NotifyFrameFullScreen(LONG frame_id, LONG status) = 0;
  // 16: IPC 0x07000007 to the extension-DLL host, then "extension.notify.ui.framecreate"
  // {"frame_id"}, then every installed extension registers its accelerator.
  virtual HRESULT NotifyFrameCreate(LONG frame_id) = 0;
  // 17: "extension.notify.ui.frameclose" {"frame_id"}.
  virtual HRESULT NotifyFrameClose(LONG frame_id) = 0;
  // 18: "extension.notify.utility.accelerator" with `arguments` unchanged, to `extension_id`
  // only.
  virtual HRESULT NotifyAccelerator(BSTR extension_id, BSTR arguments) = 0;
  // 19: "extension.notify.utility.switchcore" {"tab_id"}.
  virtual HRESULT NotifySwitchCore(LONG tab_id) = 0;
};

// CExtensionNotifyMgr: created by its class factory; answers IExtensionNotifyMgr and
// IProvideClassInfo. No state beyond the reference count.
class CExtensionNotifyMgr : public halcy::ComObjectRoot,
                            public IExtensionNotifyMgr,
                            public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionNotifyMgr)
  HALCY_INTERFACE(CExtensionNotifyMgr, IExtensionNotifyMgr)
  HALCY_INTERFACE(CExtensionNotifyMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()

  HRESULT Initialize() override;
  HRESULT UnInitialize() override;
  HRESULT NotifyUrlChange(BSTR old_url, BSTR new_url, LONG tab_id) override;
  HRESULT NotifyNavigate(BSTR url) override;
  HRESULT NotifySwitchTab(LONG old_tab_id, BSTR old_url, LONG new_tab_id, BSTR new_url,
                          LONG flag) override;
  HRESULT NotifyCloseTab(LONG tab_id, LONG frame_id, BSTR url, LONG retain_core) override;
  HRESULT NotifyAddTab(LONG tab_id, LONG frame_id) override;
  HRESULT NotifyDocumentComplete(LONG tab_id, BSTR url) override;
  HRESULT NotifyRefresh(LONG tab_id, BSTR url) override;
  HRESULT NotifyLogin(BSTR user_id, BSTR user, BSTR info, LONG first_login) override;
  HRESULT NotifyLogout(BSTR user_id, BSTR user) override;
  HRESULT NotifySwitchUser(BSTR old_user, BSTR new_user) override;
  HRESULT NotifyFrameFullScreen(LONG frame_id, LONG status) override;
  HRESULT NotifyFrameCreate(LONG frame_id) override;
  HRESULT NotifyFrameClose(LONG frame_id) override;
  HRESULT NotifyAccelerator(BSTR extension_id, BSTR arguments) override;
  HRESULT NotifySwitchCore(LONG tab_id) override;
};

}  // namespace Logic
