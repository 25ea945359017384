// The platform library ("hcsafe"): its switches and the variants of kernel calls that it
// offers. A variant takes the system call's arguments plus a trailing out-parameter that
// receives the error code, which the caller passes to SetLastError.
//
//   if (CheckHcsafeEnable() && CheckHookEnable_pipe()) {
//     DWORD error = 0;
//     ok = Internal_HC_ReadFile(pipe, buf, n, nullptr, ov, &error);
//     SetLastError(error);
//   } else {
//     ok = ReadFile(pipe, buf, n, nullptr, ov);
//   }
//
// The switches answer 0 here, so callers take the plain calls, except where the library is
// always used: creating and opening named pipes (over platform/named_pipe.h). Tests may turn
// the switches on to run the library path.
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include "platform/kernel_object.h"
#include "platform/win_types.h"

int CheckHcsafeEnable();
int CheckHookEnable_pipe();
int CheckHookEnable_waitable();
int CheckHookEnable_file();

// Named pipes: `name` is the channel id. The server end accepts the channel's parameters
// (duplex, overlapped, first instance, byte mode, one instance); other values of the open mode,
// instance count or pipe mode fail with ERROR_INVALID_PARAMETER. The client end needs read and
// write access, OPEN_EXISTING and FILE_FLAG_OVERLAPPED.
HANDLE Internal_HC_CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode,
                                    DWORD max_instances, DWORD out_buffer_size,
                                    DWORD in_buffer_size, DWORD default_timeout_ms,
                                    void* security_attributes, DWORD* error);
HANDLE Internal_HC_CreateFileW(LPCWSTR name, DWORD desired_access, DWORD share_mode,
                               void* security_attributes, DWORD creation_disposition,
                               DWORD flags_and_attributes, HANDLE template_file, DWORD* error);

BOOL Internal_HC_ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped, DWORD* error);
BOOL Internal_HC_ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read,
                          OVERLAPPED* overlapped, DWORD* error);
BOOL Internal_HC_WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write,
                           DWORD* bytes_written, OVERLAPPED* overlapped, DWORD* error);
BOOL Internal_HC_CancelIo(HANDLE file, DWORD* error);
BOOL Internal_HC_CloseHandle(HANDLE handle, DWORD* error);

HANDLE Internal_HC_CreateEventW(void* security_attributes, BOOL manual_reset, BOOL initial_state,
                                LPCWSTR name, DWORD* error);
BOOL Internal_HC_SetEvent(HANDLE event, DWORD* error);
BOOL Internal_HC_ResetEvent(HANDLE event, DWORD* error);
DWORD Internal_HC_WaitForSingleObject(HANDLE object, DWORD timeout_ms, DWORD* error);
DWORD Internal_HC_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                         DWORD timeout_ms, DWORD* error);

// Restricted process creation: CreateProcessW's arguments after the child's `kind` (5 plain, 7
// renderer, 8 script plug-in, 9 front end, 10 broker-like helpers). Every kind gets the same
// restrictions here: only the standard streams cross over (as with CreateProcessW), and the
// child starts with no blocked signal and every signal at its default disposition. An unknown
// kind fails with ERROR_INVALID_PARAMETER.
struct STARTUPINFOW;
struct PROCESS_INFORMATION;
BOOL Internal_HC_CreateRestrictedProcessW(int kind, LPCWSTR application_name, LPWSTR command_line,
                                          void* process_attributes, void* thread_attributes,
                                          BOOL inherit_handles, DWORD creation_flags,
                                          void* environment, LPCWSTR current_directory,
                                          STARTUPINFOW* startup_info,
                                          PROCESS_INFORMATION* process_information, DWORD* error);

namespace halcy {
// The kind handed to the last restricted creation in this process (0 before the first).
int LastRestrictedProcessKindForTesting();
// Turns the switches on or off for this process (tests of the library path).
void SetHcsafeEnabledForTesting(bool enabled);
}  // namespace halcy
