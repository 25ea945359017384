#include "host/channel_info.h"

#include <cstdlib>
#include <string>

#include "common/paths.h"
#include "platform/bstr.h"
#include "platform/strings.h"

namespace host {

HRESULT CChannelObject::GetChannelCode(BSTR* code) {
  if (!code) return E_POINTER;
  const char* value = std::getenv(kChannelVariable);
  const std::u16string text = halcy::Utf8ToUtf16(value ? value : "");
  *code = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *code ? S_OK : E_OUTOFMEMORY;
}

HRESULT CChannelInfo::GetCacheStore(Logic::ICacheStore** store) {
  if (!store) return E_POINTER;
  *store = nullptr;
  std::lock_guard<std::mutex> lock(lock_);
  if (!cache_store_) {
    std::u16string path = CCacheStore::kFileName;
    if (!Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u"")) return E_FAIL;
    ComPtr<CCacheStore> opened = halcy::MakeComObject<CCacheStore>();
    if (!opened || !opened->Open(path)) return E_FAIL;
    cache_store_ = std::move(opened);
  }
  *store = ComPtr<Logic::ICacheStore>(cache_store_.Get()).Detach();
  return S_OK;
}

HRESULT CChannelInfo::GetChannelObject(Logic::IChannelObject** channel) {
  if (!channel) return E_POINTER;
  ComPtr<CChannelObject> made = halcy::MakeComObject<CChannelObject>();
  if (!made) return E_OUTOFMEMORY;
  *channel = made.Detach();
  return S_OK;
}

}  // namespace host
