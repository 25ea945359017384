// The module object and its exported entry points.
//
// The browser loads libplexore.so, calls DllMain for process attach, and asks DllGetClassObject
// for a class factory by CLSID; DllCanUnloadNow answers S_OK once no object or server lock
// is alive. Every entry point may be called from any thread.
#pragma once

#include <string>

#include "platform/com.h"
#include "platform/win_types.h"

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

#define PLEXORE_EXPORT extern "C" __attribute__((visibility("default")))

PLEXORE_EXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
PLEXORE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
PLEXORE_EXPORT HRESULT DllCanUnloadNow();
PLEXORE_EXPORT HRESULT DllRegisterServer();
PLEXORE_EXPORT HRESULT DllUnregisterServer();

namespace Logic {

// Creates an instance of class `index` of kClassTable (aggregated when `outer` is given).
HRESULT CreateClassInstance(int index, IUnknown* outer, REFIID iid, void** out);

// The path of libplexore.so as registration writes it into InprocServer32.
std::u16string ModulePath();

}  // namespace Logic
