#include "host/browser_services.h"

#include <cstdlib>
#include <utility>

#include "common/log.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/threads.h"

namespace host {
namespace {

std::u16string VersionFromEnvironment() {
  const char* value = std::getenv(CVersionService::kVersionVariable);
  if (!value || !*value) return CVersionService::kDefaultBrowserVersion;
  return halcy::Utf8ToUtf16(value);
}

HRESULT NewBstr(const std::u16string& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

CVersionService::CVersionService() : version_(VersionFromEnvironment()) {}

HRESULT CVersionService::GetBrowserVersion(BSTR* version) {
  if (!version) return E_POINTER;
  return NewBstr(version_, version);
}

HRESULT CSkinService::RegisterPathPrefix(LPCWSTR prefix, LPCWSTR directory) {
  if (!prefix || !*prefix) return E_INVALIDARG;
  const std::u16string dir = directory ? directory : u"";
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"skin: prefix %s registered for %s", prefix,
             dir.c_str());
  std::lock_guard<std::mutex> lock(lock_);
  prefixes_[prefix] = dir;
  return S_OK;
}

std::u16string CSkinService::DirectoryOf(const std::u16string& prefix) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = prefixes_.find(prefix);
  return it == prefixes_.end() ? u"" : it->second;
}

HRESULT CUserServiceManager::GetCurrentUser(BSTR* name, LONG* user_id) {
  if (!name || !user_id) return E_POINTER;
  *name = nullptr;
  char16_t buffer[257];
  DWORD size = 257;
  if (!GetUserNameW(buffer, &size)) return E_FAIL;
  *user_id = kCurrentUserId;
  return NewBstr(buffer, name);
}

HRESULT CUserServiceManager::RegisterListener(REFIID listener_iid, LONG listener_id,
                                              IUnknown* listener, DWORD thread_id) {
  if (!listener) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  registrations_.push_back({listener_iid, listener_id, ComPtr<IUnknown>(listener), thread_id});
  return S_OK;
}

HRESULT CUserServiceManager::RegisterListenerOnCallingThread(REFIID listener_iid,
                                                             IUnknown* listener) {
  return RegisterListener(listener_iid, 0, listener, GetCurrentThreadId());
}

std::vector<CUserServiceManager::Registration> CUserServiceManager::Registrations() {
  std::lock_guard<std::mutex> lock(lock_);
  return registrations_;
}

void CUserServiceManager::ClearRegistrations() {
  std::vector<Registration> dropped;
  {
    std::lock_guard<std::mutex> lock(lock_);
    dropped.swap(registrations_);
  }
  // The listeners are released here, without the lock: their destructors may call back.
}

}  // namespace host
