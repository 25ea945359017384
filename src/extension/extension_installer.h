// IExtensionInstaller: how install and update reach the extension manager. The update tracker
// and the install guide live in the module and call CExtensionMgrImpl directly; a caller
// outside the module (plexore-host's management commands) gets this interface by querying the
// manager object (CCoExtensionMgr answers it next to IExtensionMgr). Both operations only post
// the manager's back-thread task ("&CExtensionMgrImpl::InstallExtension_BackThread",
// "&CExtensionMgrImpl::UpdateExtension_BackThread"); the task's result reaches `done`.
//
//   ComPtr<IExtensionInstaller> installer;
//   mgr.As(&installer);
//   installer->InstallExtension(id, 0, 1, directory, done);  // done->OnInstallDone(id, hr)
//
// Free-threaded: may be called from any thread. `done` is called on the extension-manager
// thread, once per accepted request, with S_OK, S_FALSE (nothing done) or E_FAIL.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtensionInstallCallback : IUnknown {
  static constexpr IID kIID = MakeGuid("CAE65713-76B0-4EC5-960A-9DBE0868FF79");
  // 3: the result of one install or update request for `extension_id`.
  virtual HRESULT OnInstallDone(BSTR extension_id, HRESULT result) = 0;
};

struct IExtensionInstaller : IUnknown {
  static constexpr IID kIID = MakeGuid("71EFF897-7D2D-4A41-ADAD-65CE7B9FD24E");
  // 3: installs (or reinstalls) the extension in `directory`. `done` may be null.
  virtual HRESULT InstallExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                                   IExtensionInstallCallback* done) = 0;
  // 4: stages an update of `extension_id` from `directory`. `done` may be null.
  virtual HRESULT UpdateExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                                  IExtensionInstallCallback* done) = 0;
};

}  // namespace Logic
