// Small Win32 facilities: the thread-local last error, the thread locale (kept, no effect),
// and loading libraries. Safe from any thread; the last error and locale are per thread.
#pragma once

#include "platform/win_types.h"

DWORD GetLastError();
void SetLastError(DWORD error);

// The debugger output: each text becomes one line of the log controller at level 1 under the
// tag "debugger;" (trailing line feeds dropped), seen when HALCY_LOG asks for level 1 and by log
// observers.
void OutputDebugStringW(LPCWSTR text);

constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
// The thread locale is recorded per thread so that save-and-restore brackets are observable;
// it changes nothing else here.
LCID GetThreadLocale();
BOOL SetThreadLocale(LCID locale);

// dlopen/dlsym/dlclose with Win32 results. LoadLibraryW takes a UTF-16 path; on failure it
// returns null with the last error set to ERROR_MOD_NOT_FOUND (dlerror goes to the log
// controller's failure level).
HMODULE LoadLibraryW(LPCWSTR path);
void* GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
// The file path of the shared object or executable holding `address` (UTF-16), or "".
DWORD GetModuleFileNameForAddress(const void* address, LPWSTR buffer, DWORD chars);
