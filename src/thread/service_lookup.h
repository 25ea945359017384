// Looking up a browser service by interface with the system's failure line: a lookup that
// fails writes "GetService(<name>) failed: %d" (level 64, tag "oldlog;") with the HRESULT and
// gives null. Services are never cached: each use looks the service up again and releases it.
//
//   ComPtr<IThreadService> s = Thread::GetServiceOrLog<IThreadService>(u"IThreadService");
//
// Safe from any thread.
#pragma once

#include "platform/com.h"

namespace Thread {

// Fills `out` with a counted pointer to the service, or null after logging the failure.
HRESULT GetServiceOrLog(REFIID iid, const char16_t* name, void** out);

template <class I>
ComPtr<I> GetServiceOrLog(const char16_t* name) {
  ComPtr<I> service;
  GetServiceOrLog(I::kIID, name, service.ReleaseAndGetVoidAddress());
  return service;
}

}  // namespace Thread
