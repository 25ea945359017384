#include "extension/extension_db.h"

#include "extension/extension_agent.h"
#include "json/json_reader.h"
#include "module/extension_store.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace Logic {
namespace {

std::u16string MemberString(const CJsonValue& object, std::u16string_view key) {
  auto it = object.GetObject().find(key);
  if (it == object.GetObject().end() || !it->second->IsString()) return std::u16string();
  return it->second->GetString();
}

}  // namespace

ExtensionDataVersions ReadExtensionVersionFile(const std::u16string& path) {
  ExtensionDataVersions versions;
  std::unique_ptr<CJsonValue> root = ParseJsonFile(path);
  if (!root || !root->IsObject()) return versions;
  versions.db_version = MemberString(*root, u"dbversion");
  versions.data_version = MemberString(*root, u"dataversion");
  return versions;
}

std::unique_ptr<CExtensionDB> CExtensionDB::Create(std::u16string_view relative_path) {
  constexpr std::u16string_view kSuffix = u".json";
  if (relative_path.size() < kSuffix.size() ||
      halcy::AsciiToLower(relative_path.substr(relative_path.size() - kSuffix.size())) != kSuffix) {
    return nullptr;
  }
  return std::unique_ptr<CExtensionDB>(new CExtensionDB(std::u16string(relative_path)));
}

CExtensionDB::CExtensionDB(std::u16string relative_path)
    : relative_path_(std::move(relative_path)) {}

CExtensionDB::~CExtensionDB() = default;

HRESULT CExtensionDB::Open() {
  ComPtr<IDatabaseService> service = GetDatabaseService();
  if (!service) return E_FAIL;
  ComPtr<IStoreFactory> factory;
  if (FAILED(service->CreateStoreFactory(kStoreKind, 0, 0, factory.ReleaseAndGetAddressOf())) ||
      !factory) {
    return E_FAIL;
  }
  ComPtr<IStoreParams> params;
  if (FAILED(Util::Com::CreateObjectByIID(IStoreParams::kIID, params.ReleaseAndGetVoidAddress())) ||
      !params || FAILED(params->SetRelativePath(relative_path_.c_str()))) {
    return E_FAIL;
  }
  ComPtr<IExtensionStore> store;
  if (FAILED(factory->OpenStore(kExtensionStoreId, params.Get(), store.ReleaseAndGetAddressOf())) ||
      !store) {
    return E_FAIL;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  store_ = std::move(store);
  return S_OK;
}

bool CExtensionDB::IsOpen() const { return store() != nullptr; }

ComPtr<IExtensionStore> CExtensionDB::store() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_;
}

HRESULT CExtensionDB::AddExtension(IExtensionAgent* agent) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->Add(agent) : E_FAIL;
}

HRESULT CExtensionDB::Query(LONG what, LONG states, std::vector<ComPtr<IExtensionAgent>>* agents) {
  ComPtr<IExtensionStore> s = store();
  if (!s || !agents) return E_FAIL;
  ComPtr<IExtensionAgentList> list;
  HRESULT hr = s->Query(what, states, list.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !list) return FAILED(hr) ? hr : E_FAIL;
  LONG count = 0;
  list->GetCount(&count);
  agents->reserve(agents->size() + static_cast<size_t>(count > 0 ? count : 0));
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IExtensionAgent> agent;
    if (SUCCEEDED(list->GetAt(i, agent.ReleaseAndGetAddressOf())) && agent) {
      agents->push_back(std::move(agent));
    }
  }
  return hr;
}

HRESULT CExtensionDB::SetState(const std::u16string& id, LONG state) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->SetState(id.c_str(), state) : E_FAIL;
}

HRESULT CExtensionDB::SetValue(const std::u16string& id, LONG value) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->SetValue(id.c_str(), value) : E_FAIL;
}

HRESULT CExtensionDB::Remove(const std::u16string& id) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->Remove(id.c_str()) : E_FAIL;
}

HRESULT CExtensionDB::Update(const std::u16string& id, IExtensionAgent* agent) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->Update(id.c_str(), agent) : E_FAIL;
}

HRESULT CExtensionDB::UpdateRecord(IExtensionAgent* agent) {
  ComPtr<IExtensionStore> s = store();
  return s ? s->UpdateRecord(agent) : E_FAIL;
}

HRESULT CExtensionDB::GetPath(std::u16string* path) {
  ComPtr<IExtensionStore> s = store();
  if (!s || !path) return E_FAIL;
  halcy::ScopedBstr text;
  HRESULT hr = s->GetPath(text.Receive());
  if (FAILED(hr)) return hr;
  *path = std::u16string(text.View());
  return S_OK;
}

}  // namespace Logic
