// CExtensionMgrImpl: the fast copy of the installed list in the browser's cache store. Entry
// "ext_list" names the record keys; record "ext_<id>" holds five strings: id, state, flags
// (decimal), directory and the manifest as compact JSON.

#include <string>
#include <vector>

#include "common/function_tracer.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/version.h"
#include "extension/extension_agent.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_impl.h"
#include "module/channel_info.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace Logic {
namespace {

constexpr char16_t kCacheListEntry[] = u"ext_list";
constexpr char16_t kCacheRecordPrefix[] = u"ext_";
constexpr LONG kCacheSizeLimit = 1000;
constexpr LONG kCacheRecordFields = 5;

std::vector<std::u16string> ReadEntry(ICacheStore* store, const std::u16string& name) {
  return ReadCacheEntry(store, name, kCacheSizeLimit);
}

ComPtr<IStringList> NewStringList() {
  ComPtr<IStringList> list;
  Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
  return list;
}

// A new agent for one cached record (id, state, flags, directory, manifest), or null.
ComPtr<IExtensionAgent> AgentFromRecord(const std::vector<std::u16string>& fields) {
  ComPtr<IExtensionAgent> agent;
  if (FAILED(
          Util::Com::CreateObjectByIID(IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress())) ||
      !agent) {
    return nullptr;
  }
  halcy::ScopedBstr id(fields[0]), directory(fields[3]), manifest(fields[4]);
  agent->SetId(id.Get());
  agent->SetState(LeadingDecimal(fields[1]));
  agent->SetFlags(LeadingDecimal(fields[2]));
  agent->SetDirectory(directory.Get());
  agent->SetManifest(manifest.Get());
  return agent;
}

}  // namespace

HRESULT CExtensionMgrImpl::LoadCachedData() {
  CFunctionTracer trace(u"function;", u"Logic::CExtensionMgrImpl::LoadCachedData", u"");
  ComPtr<ICacheStore> store = GetCacheStore();
  if (!store) return E_FAIL;
  std::u16string extensions_dir = kExtensionDbFolder;
  if (!GetDataDirectory(kDataDirectorySystem, &extensions_dir, 0, u"")) return E_FAIL;
  for (const std::u16string& key : ReadEntry(store.Get(), kCacheListEntry)) {
    std::vector<std::u16string> fields = ReadEntry(store.Get(), key);
    if (fields.size() < kCacheRecordFields || fields[1].empty() || fields[2].empty()) {
      continue;  // an incomplete record is not loaded
    }
    ComPtr<IExtensionAgent> agent = AgentFromRecord(fields);
    if (!agent) continue;
    const std::u16string directory = extensions_dir + u"\\" + fields[0];
    const DWORD attributes = GetFileAttributesW(directory.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      RegisterInstalled(agent);
    }
  }
  return S_OK;
}

HRESULT CExtensionMgrImpl::SaveCachedExtensionList() {
  ComPtr<ICacheStore> store = GetCacheStore();
  if (!store) return E_FAIL;
  ComPtr<IStringList> keys = NewStringList();
  if (!keys) return E_FAIL;
  HRESULT result = S_OK;
  for (const auto& [id, agent] : InstalledCopy()) {
    ComPtr<IStringList> record = NewStringList();
    if (!record) return E_FAIL;
    LONG state = 0, flags = 0;
    agent->GetState(&state);
    agent->GetFlags(&flags);
    record->Append(id.c_str());
    record->Append(halcy::StringPrintf(u"%d", state).c_str());
    record->Append(halcy::StringPrintf(u"%d", flags).c_str());
    record->Append(AgentText(agent.Get(), &IExtensionAgent::GetDirectory).c_str());
    record->Append(AgentText(agent.Get(), &IExtensionAgent::GetManifest).c_str());
    const std::u16string key = kCacheRecordPrefix + id;
    if (FAILED(store->WriteEntry(key.c_str(), record.Get()))) result = E_FAIL;
    keys->Append(key.c_str());
  }
  if (FAILED(store->WriteEntry(kCacheListEntry, keys.Get()))) result = E_FAIL;
  return result;
}

}  // namespace Logic
