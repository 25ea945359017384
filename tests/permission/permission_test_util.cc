#include "permission/permission_test_util.h"

#include <gtest/gtest.h>

#include "module/module.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace permission_test {
namespace {

// Indices in the module's class table.
constexpr int kPermissionMgrClassIndex = 8;
constexpr int kPermissionSetClassIndex = 9;
constexpr int kAgentClassIndex = 2;

std::u16string JsonString(const std::u16string& text) {
  std::u16string out = u"\"";
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\') {
      out += u'\\';
      out += c;
    } else if (c < 0x20) {
      out += halcy::StringPrintf(u"\\u%04x", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out + u"\"";
}

}  // namespace

HRESULT CScriptedStringList::GetCount(LONG* out) {
  *out = count.value_or(static_cast<LONG>(items.size()));
  return count_result;
}

HRESULT CScriptedStringList::GetAt(LONG index, BSTR* item) {
  *item = nullptr;
  if (failing.count(index)) return E_FAIL;
  if (null_items.count(index)) return S_OK;
  if (index < 0 || index >= static_cast<LONG>(items.size())) return E_INVALIDARG;
  *item = SysAllocStringLen(items[index].data(), static_cast<UINT>(items[index].size()));
  return S_OK;
}

HRESULT CScriptedStringList::Append(LPCWSTR item) {
  items.emplace_back(item);
  return S_OK;
}

ComPtr<IStringList> MakeList(const std::vector<std::u16string>& items) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& item : items) EXPECT_EQ(S_OK, list->Append(item.c_str()));
  return list;
}

ComPtr<Logic::IPermissionSet> MakeSet(const std::vector<std::u16string>& items) {
  ComPtr<Logic::IPermissionSet> set;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kPermissionSetClassIndex, nullptr,
                                             Logic::IPermissionSet::kIID,
                                             set.ReleaseAndGetVoidAddress()));
  if (set) {
    EXPECT_EQ(S_OK, set->LoadPermissions(MakeList(items).Get()));
  }
  return set;
}

ComPtr<Logic::IPermissionMgr> MakeMgr() {
  ComPtr<Logic::IPermissionMgr> mgr;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kPermissionMgrClassIndex, nullptr,
                                             Logic::IPermissionMgr::kIID,
                                             mgr.ReleaseAndGetVoidAddress()));
  return mgr;
}

ComPtr<Logic::IExtensionAgent> MakeAgent(const std::u16string& id,
                                         const std::vector<std::u16string>& permissions) {
  ComPtr<Logic::IExtensionAgent> agent;
  EXPECT_EQ(S_OK,
            Logic::CreateClassInstance(kAgentClassIndex, nullptr, Logic::IExtensionAgent::kIID,
                                       agent.ReleaseAndGetVoidAddress()));
  if (!agent) return agent;
  std::u16string manifest = u"{\"name\":\"test\",\"permissions\":[";
  for (size_t i = 0; i < permissions.size(); ++i) {
    if (i) manifest += u",";
    manifest += JsonString(permissions[i]);
  }
  manifest += u"]}";
  EXPECT_EQ(S_OK, agent->SetId(Bstr(id).Get()));
  EXPECT_EQ(S_OK, agent->SetManifest(Bstr(manifest).Get()));
  return agent;
}

HRESULT CheckApi(Logic::IPermissionSet* set, const std::u16string& name) {
  return set->CheckApiPermission(Bstr(name).Get());
}

HRESULT CheckUrl(Logic::IPermissionSet* set, const std::u16string& url) {
  return set->CheckUrlPermission(Bstr(url).Get());
}

}  // namespace permission_test
