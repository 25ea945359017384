// A recording fake of the browser's user service (IUserServiceManager): it remembers every
// listener registration; the current user is nobody (an empty name, id 0).
// Thread-safe: the module registers from any thread; tests read the records from theirs.
#pragma once

#include <mutex>
#include <vector>

#include "module/user_service_manager.h"
#include "platform/com_object.h"

namespace testing_support {

class FakeUserServiceManager : public halcy::ComObjectRoot, public Logic::IUserServiceManager {
 public:
  HALCY_BEGIN_INTERFACES(FakeUserServiceManager)
  HALCY_INTERFACE(FakeUserServiceManager, Logic::IUserServiceManager)
  HALCY_END_INTERFACES()

  struct Registration {
    IID listener_iid;
    LONG listener_id;  // 0 for registrations on the calling thread
    ComPtr<IUnknown> listener;
    DWORD thread_id;
  };

  HRESULT GetCurrentUser(BSTR* name, LONG* user_id) override;
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT RegisterListener(REFIID listener_iid, LONG listener_id, IUnknown* listener,
                           DWORD thread_id) override;
  HRESULT RegisterListenerOnCallingThread(REFIID listener_iid, IUnknown* listener) override;

  std::vector<Registration> Registrations();

 private:
  std::mutex mutex_;
  std::vector<Registration> records_;  // Guarded by mutex_
};

}  // namespace testing_support
