#include "platform/hcsafe_file.h"

#include <string_view>

#include "platform/file_system.h"
#include "platform/win32.h"

void Internal_HC_Virtual_PrepareDirectoryAndRegKey() {
  // Nothing is virtualised here, so there is nothing to prepare.
}

BOOL Internal_HC_Virtual_CreateDirectory(int kind, LPCWSTR path, void* security_attributes,
                                         DWORD* error) {
  const DWORD saved = GetLastError();
  if (kind != 1 || !path) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  halcy::NotifyCreateDirectory(path, true);
  SetLastError(ERROR_SUCCESS);
  // The observer has seen the library's call; the plain call below must not count twice.
  BOOL ok = halcy::CreateDirectoryUnobserved(path, security_attributes);
  if (error) *error = ok ? ERROR_SUCCESS : GetLastError();
  SetLastError(saved);
  return ok;
}
