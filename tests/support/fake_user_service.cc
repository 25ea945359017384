#include "support/fake_user_service.h"

#include "platform/bstr.h"
#include "platform/threads.h"

namespace testing_support {

HRESULT FakeUserServiceManager::GetCurrentUser(BSTR* name, LONG* user_id) {
  if (!name || !user_id) return E_POINTER;
  *name = SysAllocString(u"");
  *user_id = 0;
  return S_OK;
}

HRESULT FakeUserServiceManager::RegisterListener(REFIID listener_iid, LONG listener_id,
                                                 IUnknown* listener, DWORD thread_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back({listener_iid, listener_id, ComPtr<IUnknown>(listener), thread_id});
  return S_OK;
}

HRESULT FakeUserServiceManager::RegisterListenerOnCallingThread(REFIID listener_iid,
                                                                IUnknown* listener) {
  return RegisterListener(listener_iid, 0, listener, GetCurrentThreadId());
}

std::vector<FakeUserServiceManager::Registration> FakeUserServiceManager::Registrations() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

}  // namespace testing_support
