// The platform library's file virtualisation, as far as the module calls it: preparing the
// virtual directory and registry key, and creating a directory through the library. The library
// virtualises nothing here: the preparation has no effect and the creation is CreateDirectoryW,
// reported to the creation observer of platform/file_system.h as the library's variant.
// Whether callers take this path is decided by CheckHcsafeEnable and CheckHookEnable_file
// (platform/hcsafe.h).
//
// Thread-safe: both functions may be called from any thread.
#pragma once

#include "platform/win_types.h"

void Internal_HC_Virtual_PrepareDirectoryAndRegKey();

// `kind` is 1 for a plain directory. Returns the result of CreateDirectoryW; the error it left
// goes to `*error` (0 after a success) and the thread's own last error is left unchanged.
BOOL Internal_HC_Virtual_CreateDirectory(int kind, LPCWSTR path, void* security_attributes,
                                         DWORD* error);
