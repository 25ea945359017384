// Activating in-process COM classes by CLSID through the registry, as the browser does:
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the library, which is loaded once per
// process and kept, and whose DllGetClassObject hands out the class factory.
// Safe from any thread.
#pragma once

#include "platform/com.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x8004015F);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid, void** out);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out);

namespace halcy {
// The library registered for `clsid`, loaded on first use (REGDB_E_CLASSNOTREG when the class
// is not registered, CO_E_DLLNOTFOUND when the library does not load).
HRESULT GetInprocServer(REFCLSID clsid, HMODULE* module);
}  // namespace halcy
