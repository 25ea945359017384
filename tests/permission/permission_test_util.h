// Helpers for the permission tests: a string list whose reads can be made to fail, sets and
// agents built from permission strings, and BSTR shorthands. Used from any test thread; each
// object is as thread-safe as the class it builds.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extension/extension_agent.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/string_list.h"

namespace permission_test {

// A string list with scripted failures: GetCount answers `count_result` and `count`;
// GetAt fails with E_FAIL for the indices in `failing`, and gives a null BSTR with S_OK for
// those in `null_items`.
class CScriptedStringList : public halcy::ComObjectRoot, public IStringList {
 public:
  HALCY_BEGIN_INTERFACES(CScriptedStringList)
  HALCY_INTERFACE(CScriptedStringList, IStringList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* count) override;
  HRESULT GetAt(LONG index, BSTR* item) override;
  HRESULT Append(LPCWSTR item) override;

  std::vector<std::u16string> items;
  HRESULT count_result = S_OK;
  std::optional<LONG> count;  // empty: the number of items
  std::set<LONG> failing;
  std::set<LONG> null_items;
};

// The object factory's string list holding `items`.
ComPtr<IStringList> MakeList(const std::vector<std::u16string>& items);

// A permission set (the module's class, made through its class table) loaded from `items`.
ComPtr<Logic::IPermissionSet> MakeSet(const std::vector<std::u16string>& items);

// A permission manager made through the module's class table.
ComPtr<Logic::IPermissionMgr> MakeMgr();

// An extension agent with identifier `id` and a manifest whose "permissions" array holds
// `permissions` (JSON-escaped here).
ComPtr<Logic::IExtensionAgent> MakeAgent(const std::u16string& id,
                                         const std::vector<std::u16string>& permissions);

// A BSTR that keeps every char of `text`, embedded NULs included.
inline halcy::ScopedBstr Bstr(const std::u16string& text) { return halcy::ScopedBstr(text); }

HRESULT CheckApi(Logic::IPermissionSet* set, const std::u16string& name);
HRESULT CheckUrl(Logic::IPermissionSet* set, const std::u16string& url);

}  // namespace permission_test
