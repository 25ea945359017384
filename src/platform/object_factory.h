// The object-factory library: the process-wide table through which the module finds the
// browser's services (`Util::Com::GetService`) and creates outside objects by interface
// (`Util::Com::CreateObjectByIID`), plus the registration side that the browser (the host)
// and tests use to fill it.
//
//   halcy::SetService(IThreadService::kIID, thread_service);        // the host, at start-up
//   ComPtr<IThreadService> s;
//   Util::Com::GetService(IThreadService::kIID, s.ReleaseAndGetVoidAddress());
//
// A service is one object per IID, handed out with QueryInterface for that IID. A creatable
// class is a factory function, or a CLSID activated through the registry as the browser
// activates the module's own classes. The string list {CC04A44F-...} is creatable by default.
// Both lookups return an HRESULT and leave the out pointer null on failure (E_NOINTERFACE when
// nothing is registered for the IID).
//
// Thread-safe: every function may be called from any thread. No lock is held while a
// registered object or factory is called.
#pragma once

#include <functional>

#include "platform/com.h"

namespace Util::Com {
HRESULT GetService(REFIID iid, void** out);
HRESULT CreateObjectByIID(REFIID iid, void** out);
}  // namespace Util::Com

namespace halcy {

// Registers `service` (holding a reference) for `iid`, or removes the entry for null.
// Returns the service it replaced, so that a caller can put it back.
ComPtr<IUnknown> SetService(REFIID iid, IUnknown* service);

// How a class is created: `create` when set, else CoCreateInstance of `clsid` (in-process).
struct CreatableClass {
  std::function<HRESULT(REFIID iid, void** out)> create;
  CLSID clsid = GUID_NULL;

  bool empty() const { return !create && clsid == GUID_NULL; }
};

// Registers how objects for `iid` are created, or removes the entry for an empty one.
// Returns the entry it replaced.
CreatableClass SetCreatableClass(REFIID iid, CreatableClass entry);

}  // namespace halcy
