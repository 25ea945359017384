// Helpers of the permission tests: a string list whose reads can be made to fail, and sets,
// managers and agents made through the module's class table.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extension/extension_agent.h"
#include "module/module.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"

namespace permission_test {

using List = std::vector<std::u16string>;

// GetCount answers `count_result` and `count` (empty: the number of items); GetAt fails for
// the indices in `failing` and gives a null item for those in `null_items`.
class CScriptedStringList : public halcy::ComObjectRoot, public IStringList {
 public:
  HALCY_BEGIN_INTERFACES(CScriptedStringList)
  HALCY_INTERFACE(CScriptedStringList, IStringList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* out) override {
    *out = count.value_or(static_cast<LONG>(items.size()));
    return count_result;
  }
  HRESULT GetAt(LONG index, BSTR* item) override {
    *item = nullptr;
    if (failing.count(index)) return E_FAIL;
    if (null_items.count(index)) return S_OK;
    if (index < 0 || index >= static_cast<LONG>(items.size())) return E_INVALIDARG;
    *item = SysAllocStringLen(items[index].data(), static_cast<UINT>(items[index].size()));
    return S_OK;
  }
  HRESULT Append(LPCWSTR item) override {
    items.emplace_back(item);
    return S_OK;
  }

  List items;
  HRESULT count_result = S_OK;
  std::optional<LONG> count;
  std::set<LONG> failing, null_items;
};

inline ComPtr<IStringList> MakeList(const List& items) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& item : items) EXPECT_EQ(S_OK, list->Append(item.c_str()));
  return list;
}

// An object of the module's class table at `index`.
template <class T>
ComPtr<T> MakeClass(int index) {
  ComPtr<T> object;
  EXPECT_EQ(S_OK,
            Logic::CreateClassInstance(index, nullptr, T::kIID, object.ReleaseAndGetVoidAddress()));
  return object;
}

inline ComPtr<Logic::IPermissionMgr> MakeMgr() { return MakeClass<Logic::IPermissionMgr>(8); }

inline ComPtr<Logic::IPermissionSet> MakeSet(const List& items) {
  ComPtr<Logic::IPermissionSet> set = MakeClass<Logic::IPermissionSet>(9);
  EXPECT_TRUE(set && set->LoadPermissions(MakeList(items).Get()) == S_OK);
  return set;
}

// An agent `id` whose manifest's "permissions" array holds `permissions` (written unescaped).
inline ComPtr<Logic::IExtensionAgent> MakeAgent(const std::u16string& id, const List& permissions) {
  ComPtr<Logic::IExtensionAgent> agent = MakeClass<Logic::IExtensionAgent>(2);
  std::u16string manifest = u"{\"name\":\"test\",\"permissions\":[";
  for (size_t i = 0; i < permissions.size(); ++i) {
    manifest += (i ? u",\"" : u"\"") + permissions[i] + u"\"";
  }
  EXPECT_EQ(S_OK, agent->SetId(halcy::ScopedBstr(id).Get()));
  EXPECT_EQ(S_OK, agent->SetManifest(halcy::ScopedBstr(manifest + u"]}").Get()));
  return agent;
}

inline HRESULT CheckApi(Logic::IPermissionSet* set, const std::u16string& name) {
  return set->CheckApiPermission(halcy::ScopedBstr(name).Get());
}
inline HRESULT CheckUrl(Logic::IPermissionSet* set, const std::u16string& url) {
  return set->CheckUrlPermission(halcy::ScopedBstr(url).Get());
}

}  // namespace permission_test
