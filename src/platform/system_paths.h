// Where the system says things are: the roaming application-data folder (shell32's
// SHGetFolderPathW), the account name (advapi32's GetUserNameW) and the running executable
// (kernel32's GetModuleFileNameW).
//
// - Application data is `$HALCY_APPDATA`, else `$XDG_CONFIG_HOME`, else "$HOME/.config".
// - The executable is /proc/self/exe, except that `$HALCY_BROWSER_DIR` moves it: the path is
//   then that directory followed by the executable's file name, so that every "directory of the
//   running executable" points there (tests and tools use it to act as the browser would from
//   its installation directory).
// - The account name is the name of the effective user id (tests may replace it).
// Environment variables are read on every call.
//
// Thread-safe: every function may be called from any thread; the account-name override is meant
// to be set while no other thread asks.
#pragma once

#include <optional>
#include <string>

#include "platform/win_types.h"

constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;

// Writes the folder (at most MAX_PATH characters with the NUL) into `path`. Only CSIDL_APPDATA
// is known (E_INVALIDARG otherwise). On Windows the roaming folder always exists, so a missing
// one is created here (with its parents) whatever the flags say; E_FAIL when the folder cannot
// be determined or created, or its path is too long.
HRESULT SHGetFolderPathW(void* hwnd, int csidl, HANDLE token, DWORD flags, LPWSTR path);

// `size` is in characters with the NUL. A buffer too small gives FALSE with
// ERROR_INSUFFICIENT_BUFFER and `*size` set to what is needed; on success `*size` is the
// number of characters written including the NUL.
BOOL GetUserNameW(LPWSTR buffer, DWORD* size);

// The path of the executable (`module` null) or of a loaded library (a LoadLibraryW handle).
// Returns the characters written without the NUL; a path that does not fit is cut to size - 1
// characters and `size` is returned with ERROR_INSUFFICIENT_BUFFER, as Windows does.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

namespace halcy {

// The application-data folder as a native UTF-8 path without a trailing "/", or "" when
// neither variable nor a home directory is known.
std::string ApplicationDataFolder();

// Replaces the account name that GetUserNameW reports; nullopt restores the real one.
void SetUserNameForTesting(std::optional<std::u16string> name);

}  // namespace halcy
