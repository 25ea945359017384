// Three small browser services: the version service {C4A29502-...}, the skin service
// {1AAD1505-...} and the user service IUserServiceManager {5CBCAD2F-...}.
//
// - Version: the browser's version text is $HALCY_BROWSER_VERSION when set and not empty,
//   else kDefaultBrowserVersion; read once, when the service is made.
// - Skin: remembers each registered path prefix with its directory (a later registration of
//   the same prefix replaces the directory) and logs it ("oldlog;", level 32).
// - User: the current user is the account name (GetUserNameW) with number 1; listener
//   registrations are kept, in order, for the life of the service.
//
// Free-threaded: every call from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "module/browser_info_services.h"
#include "module/user_service_manager.h"
#include "platform/com_object.h"

namespace host {

class CVersionService : public halcy::ComObjectRoot, public Logic::IVersionService {
 public:
  HALCY_BEGIN_INTERFACES(CVersionService)
  HALCY_INTERFACE(CVersionService, Logic::IVersionService)
  HALCY_END_INTERFACES()

  static constexpr char16_t kDefaultBrowserVersion[] = u"6.5.1.2";
  static constexpr char kVersionVariable[] = "HALCY_BROWSER_VERSION";

  CVersionService();
  HRESULT GetBrowserVersion(BSTR* version) override;

 private:
  const std::u16string version_;  // constant after construction
};

class CSkinService : public halcy::ComObjectRoot, public Logic::ISkinService {
 public:
  HALCY_BEGIN_INTERFACES(CSkinService)
  HALCY_INTERFACE(CSkinService, Logic::ISkinService)
  HALCY_END_INTERFACES()

  // E_INVALIDARG for a null or empty prefix.
  HRESULT RegisterPathPrefix(LPCWSTR prefix, LPCWSTR directory) override;

  // The directory registered for `prefix`, or "".
  std::u16string DirectoryOf(const std::u16string& prefix);

 private:
  std::mutex lock_;
  std::map<std::u16string, std::u16string> prefixes_;  // Guarded by lock_
};

class CUserServiceManager : public halcy::ComObjectRoot, public Logic::IUserServiceManager {
 public:
  HALCY_BEGIN_INTERFACES(CUserServiceManager)
  HALCY_INTERFACE(CUserServiceManager, Logic::IUserServiceManager)
  HALCY_END_INTERFACES()

  static constexpr LONG kCurrentUserId = 1;

  struct Registration {
    IID listener_iid;
    LONG listener_id;  // 0 for registrations on the calling thread
    ComPtr<IUnknown> listener;
    DWORD thread_id;
  };

  // E_FAIL when the account name is unavailable.
  HRESULT GetCurrentUser(BSTR* name, LONG* user_id) override;
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  // E_POINTER for a null listener.
  HRESULT RegisterListener(REFIID listener_iid, LONG listener_id, IUnknown* listener,
                           DWORD thread_id) override;
  HRESULT RegisterListenerOnCallingThread(REFIID listener_iid, IUnknown* listener) override;

  std::vector<Registration> Registrations();
  // Drops the registrations (and the listener references), for the host's shut-down.
  void ClearRegistrations();

 private:
  std::mutex lock_;
  std::vector<Registration> registrations_;  // Guarded by lock_
};

}  // namespace host
