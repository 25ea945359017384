#include "host/database_service.h"

#include <utility>

#include "common/paths.h"
#include "platform/bstr.h"
#include "platform/strings.h"

namespace host {
namespace {

constexpr LONG kStoreFactoryKind = 1;

class CStoreFactory : public halcy::ComObjectRoot, public Logic::IStoreFactory {
 public:
  HALCY_BEGIN_INTERFACES(CStoreFactory)
  HALCY_INTERFACE(CStoreFactory, Logic::IStoreFactory)
  HALCY_END_INTERFACES()

  explicit CStoreFactory(CDatabaseService* service) : service_(service) {}

  HRESULT OpenStore(LPCWSTR store_id, Logic::IStoreParams* params,
                    Logic::IExtensionStore** store) override {
    if (!store) return E_POINTER;
    *store = nullptr;
    if (!store_id || !params ||
        halcy::AsciiToLower(store_id) != halcy::AsciiToLower(Logic::kExtensionStoreId)) {
      return E_INVALIDARG;
    }
    halcy::ScopedBstr relative;
    if (FAILED(params->GetRelativePath(relative.Receive())) || relative.View().empty()) {
      return E_INVALIDARG;
    }
    std::u16string path(relative.View());
    if (!Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u"")) return E_FAIL;
    return service_->OpenStoreAt(path, store);
  }

 private:
  const ComPtr<CDatabaseService> service_;  // constant after construction
};

}  // namespace

HRESULT CStoreParams::SetRelativePath(LPCWSTR path) {
  std::lock_guard<std::mutex> lock(lock_);
  path_ = path ? path : u"";
  return S_OK;
}

HRESULT CStoreParams::GetRelativePath(BSTR* path) {
  if (!path) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  *path = SysAllocStringLen(path_.data(), static_cast<UINT>(path_.size()));
  return *path ? S_OK : E_OUTOFMEMORY;
}

HRESULT CStoreParams::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CStoreParams>(nullptr, iid, out);
}

HRESULT CDatabaseService::CreateStoreFactory(LONG kind, LONG reserved1, LONG reserved2,
                                             Logic::IStoreFactory** factory) {
  if (!factory) return E_POINTER;
  *factory = nullptr;
  if (kind != kStoreFactoryKind) return E_INVALIDARG;
  ComPtr<CStoreFactory> made = halcy::MakeComObject<CStoreFactory>(this);
  if (!made) return E_OUTOFMEMORY;
  *factory = made.Detach();
  return S_OK;
}

HRESULT CDatabaseService::OpenStoreAt(const std::u16string& path, Logic::IExtensionStore** store) {
  // Opening under the lock keeps a second caller from reading the file while the first one
  // may be moving a damaged copy aside.
  std::lock_guard<std::mutex> lock(lock_);
  ComPtr<CExtensionStore>& slot = stores_[path];
  if (!slot) {
    ComPtr<CExtensionStore> opened = halcy::MakeComObject<CExtensionStore>();
    if (!opened) {
      stores_.erase(path);
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = opened->Open(path);
    if (FAILED(hr)) {
      stores_.erase(path);
      return hr;
    }
    slot = std::move(opened);
  }
  *store = ComPtr<Logic::IExtensionStore>(slot.Get()).Detach();
  return S_OK;
}

}  // namespace host
