#include "permission/permission_mgr.h"

#include <string_view>
#include <utility>

#include "extension/extension_agent.h"
#include "permission/read_write_lock_guard.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"

namespace Logic {
namespace {

std::u16string_view View(BSTR text) { return text ? std::u16string_view(text) : u""; }

}  // namespace

HRESULT CreatePermissionSet(ComPtr<IPermissionSet>* set) {
  HRESULT hr = Util::Com::CreateObjectByIID(IPermissionSet::kIID, set->ReleaseAndGetVoidAddress());
  // E_NOINTERFACE with no object: the factory knows no class for the interface, and the class
  // is the module's own, so it is made here.
  if (hr == E_NOINTERFACE && !*set) {
    hr = halcy::CreateComInstance<CCoPermissionSet>(nullptr, IPermissionSet::kIID,
                                                    set->ReleaseAndGetVoidAddress());
  }
  if (SUCCEEDED(hr) && !*set) hr = E_FAIL;  // a success without an object is still no set
  return hr;
}

HRESULT CCoPermissionMgr::Initialize() { return S_OK; }

HRESULT CCoPermissionMgr::UnInitialize() { return S_OK; }

HRESULT CCoPermissionMgr::AddExtension(IExtensionAgent* extension) {
  if (!extension) return E_POINTER;
  halcy::ScopedBstr id;
  if (HRESULT hr = extension->GetId(id.Receive()); FAILED(hr)) return hr;
  ComPtr<IStringList> permissions;
  // An extension that cannot give its list gets a set holding only the groups every set
  // starts with.
  if (FAILED(extension->GetPermissions(permissions.ReleaseAndGetAddressOf())))
    permissions = nullptr;
  ComPtr<IPermissionSet> set;
  if (HRESULT hr = CreatePermissionSet(&set); FAILED(hr)) return hr;
  // Loading always succeeds; a string it cannot read simply grants nothing.
  set->LoadPermissions(permissions.Get());
  ComPtr<IPermissionSet> replaced;
  {
    ExclusiveLockGuard hold(lock_);
    ComPtr<IPermissionSet>& slot = sets_[std::u16string(View(id.Get()))];
    replaced = std::exchange(slot, std::move(set));
  }
  // `replaced` (the identifier's earlier set, if any) is released here, outside the lock.
  return S_OK;
}

HRESULT CCoPermissionMgr::RemoveExtension(BSTR extension_id) {
  ComPtr<IPermissionSet> removed;
  {
    ExclusiveLockGuard hold(lock_);
    auto it = sets_.find(View(extension_id));
    if (it == sets_.end()) return S_OK;
    removed = std::move(it->second);
    sets_.erase(it);
  }
  return S_OK;
}

HRESULT CCoPermissionMgr::CheckUrlPermission(BSTR extension_id, BSTR url) {
  SharedLockGuard hold(lock_);
  auto it = sets_.find(View(extension_id));
  return it == sets_.end() ? S_OK : it->second->CheckUrlPermission(url);
}

HRESULT CCoPermissionMgr::CheckApiPermission(BSTR extension_id, BSTR api_name) {
  SharedLockGuard hold(lock_);
  auto it = sets_.find(View(extension_id));
  return it == sets_.end() ? E_FAIL : it->second->CheckApiPermission(api_name);
}

}  // namespace Logic
