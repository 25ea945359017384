// IPermissionMgr and CCoPermissionMgr: the browser-wide permission manager. It keeps one
// permission set (permission_set.h) per registered extension, keyed by extension identifier
// (compared ordinally, case-sensitive), and answers for the rest of the module whether an
// extension may call an API name and whether it may touch a URL. Other parts reach it as the
// service IPermissionMgr (Logic::GetPermissionMgr in module/services.h).
//
//   mgr->AddExtension(agent);                   // builds the set from the manifest's list
//   mgr->CheckApiPermission(id, api_name);      // S_OK allowed; S_FALSE refused; E_FAIL: no set
//   mgr->CheckUrlPermission(id, url);           // S_OK allowed (also for an unknown id)
//
// S_OK means allowed; any other value means not allowed. BSTR inputs are read up to their
// first NUL; a null BSTR reads as "".
//
// Thread-safe: any thread may call any method. A reader-writer lock guards the map: the
// checks hold it shared while they consult the set, so a set is never released under a
// running check; adding and removing hold it exclusively. Lock order: manager, then set. No
// lock is held while the extension object or the object factory is called.
#pragma once

#include <map>
#include <string>

#include "base/read_write_lock.h"
#include "module/class_ids.h"
#include "permission/permission_set.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

struct IExtensionAgent;

struct IPermissionMgr : IUnknown {
  static constexpr IID kIID = kIID_IPermissionMgr;

  // 3, 4: nothing to do; S_OK.
  virtual HRESULT Initialize() = 0;
  virtual HRESULT UnInitialize() = 0;
  // 5: builds the permission set of `extension` from its identifier and permission list and
  // registers it, replacing any set of the same identifier. The identifier's HRESULT when it
  // cannot be read, the creation HRESULT when no set can be made (the old set then stays);
  // E_POINTER for a null extension.
  virtual HRESULT AddExtension(IExtensionAgent* extension) = 0;
  // 6: drops the set of `extension_id`, if any; S_OK.
  virtual HRESULT RemoveExtension(BSTR extension_id) = 0;
  // 7: the set's answer for `url`, or S_OK when no set is registered for the identifier.
  virtual HRESULT CheckUrlPermission(BSTR extension_id, BSTR url) = 0;
  // 8: the set's answer for `api_name`, or E_FAIL when no set is registered.
  virtual HRESULT CheckApiPermission(BSTR extension_id, BSTR api_name) = 0;
};

class CCoPermissionMgr : public halcy::ComObjectRoot,
                         public IPermissionMgr,
                         public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoPermissionMgr)
  HALCY_INTERFACE(CCoPermissionMgr, IPermissionMgr)
  HALCY_INTERFACE(CCoPermissionMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()

  HRESULT Initialize() override;
  HRESULT UnInitialize() override;
  HRESULT AddExtension(IExtensionAgent* extension) override;
  HRESULT RemoveExtension(BSTR extension_id) override;
  HRESULT CheckUrlPermission(BSTR extension_id, BSTR url) override;
  HRESULT CheckApiPermission(BSTR extension_id, BSTR api_name) override;

 private:
  base::CReadWriteLock lock_;
  // Guarded by lock_.
  std::map<std::u16string, ComPtr<IPermissionSet>, std::less<>> sets_;
};

// A new permission set: through the object factory (IPermissionSet's interface identifier),
// or the module's own CCoPermissionSet when the browser registers no class for it. Returns the
// creation HRESULT; `set` stays null on failure.
HRESULT CreatePermissionSet(ComPtr<IPermissionSet>* set);

}  // namespace Logic
