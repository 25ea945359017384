// IPermissionSet and CCoPermissionSet: what one extension declared in the "permissions" array
// of its manifest, split into permission group names and URL match patterns, and the two
// questions the permission manager asks of it: may the extension call an API name, and may it
// touch a URL.
//
//   ComPtr<IPermissionSet> set;
//   Util::Com::CreateObjectByIID(IPermissionSet::kIID, set.ReleaseAndGetVoidAddress());
//   set->LoadPermissions(list);                 // e.g. "history", "http://*.halcy.cn/*"
//   set->CheckApiPermission(api_name);          // S_OK allowed, S_FALSE refused
//   set->CheckUrlPermission(url);               // S_OK when a pattern matches, else S_FALSE
//
// A new set already holds the group "nonpermissionfunction". Every string of the list goes
// into one of two sets, lower-cased: a string that parses as a URL pattern (every scheme
// allowed) into the host pattern set, anything else into the API permission set. Nothing is
// ever removed. BSTR inputs are read up to their first NUL; a null BSTR reads as "".
//
// Thread-safe: any thread may call any method. The set's own reader-writer lock guards both
// sets; loading takes it exclusively once per element, the checks take it shared. The
// permission manager calls the checks while holding its own lock shared (manager lock first,
// then set lock).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "base/read_write_lock.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "url/url_pattern.h"

struct IStringList;

namespace Logic {

struct IPermissionSet : IUnknown {
  static constexpr IID kIID = kIID_IPermissionSet;

  // 3, 4: nothing to do; S_OK.
  virtual HRESULT Initialize() = 0;
  virtual HRESULT UnInitialize() = 0;
  // 5: adds every string of `permissions` (may be null) to the set; S_OK.
  virtual HRESULT LoadPermissions(IStringList* permissions) = 0;
  // 6: S_OK when a stored pattern matches `url`, S_FALSE otherwise.
  virtual HRESULT CheckUrlPermission(BSTR url) = 0;
  // 7: S_OK when a stored group lists `api_name` (compared lower-cased), S_FALSE otherwise.
  virtual HRESULT CheckApiPermission(BSTR api_name) = 0;
};

class CCoPermissionSet : public halcy::ComObjectRoot,
                         public IPermissionSet,
                         public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoPermissionSet)
  HALCY_INTERFACE(CCoPermissionSet, IPermissionSet)
  HALCY_INTERFACE(CCoPermissionSet, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CCoPermissionSet();

  HRESULT Initialize() override;
  HRESULT UnInitialize() override;
  HRESULT LoadPermissions(IStringList* permissions) override;
  HRESULT CheckUrlPermission(BSTR url) override;
  HRESULT CheckApiPermission(BSTR api_name) override;

 private:
  // Classifies one permission string and stores its lower-cased copy.
  void AddPermission(const std::u16string& permission);

  base::CReadWriteLock lock_;
  // Guarded by lock_: lower-cased group names.
  std::set<std::u16string> api_permissions_;
  // Guarded by lock_: lower-cased pattern texts, each with its parse kept (empty when the
  // stored text does not parse).
  std::map<std::u16string, std::optional<burl::URLPattern>> host_patterns_;
};

}  // namespace Logic
