// Starting programs (kernel32's CreateProcessW) over posix_spawn, and the process handle that
// WaitForSingleObject waits on.
//
// The command line is split with the Windows rules (blanks separate arguments outside
// quotation marks; quotation marks are removed; 2n backslashes before a quotation mark give n
// backslashes, 2n+1 give n and a literal quotation mark; other backslashes are kept). The
// program is `application_name` when given, else the first argument; its "\" separators
// become "/". Windows-only options (window state, security attributes, creation flags such as
// CREATE_NO_WINDOW) are accepted and have no effect; the child inherits the environment and the
// standard streams, and no other descriptor (every one from 3 up is closed in the child).
//
//   STARTUPINFOW si = {sizeof(si)};
//   PROCESS_INFORMATION pi = {};
//   if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
//                      nullptr, nullptr, &si, &pi)) {
//     WaitForSingleObject(pi.hProcess, INFINITE);
//     CloseHandle(pi.hThread);
//     CloseHandle(pi.hProcess);
//   }
//
// `hProcess` and `hThread` name the same process object (a process here has no separate
// primary thread); both are signalled when the child ends and both must be closed. Closing
// the handles does not end the child; a child still running then is never reaped, so callers
// wait for it first (the module always does). Waiting for several objects at once
// (WaitForMultipleObjects) does not include process handles.
//
// Thread-safe: every function may be called from any thread; several threads may wait on one
// process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/win_types.h"

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr WORD SW_HIDE = 0;
constexpr DWORD STILL_ACTIVE = 259;

// FALSE with the last error set (ERROR_FILE_NOT_FOUND when the program cannot be started,
// ERROR_INVALID_PARAMETER for an empty command line).
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, void* process_attributes,
                    void* thread_attributes, BOOL inherit_handles, DWORD creation_flags,
                    void* environment, LPCWSTR current_directory, STARTUPINFOW* startup_info,
                    PROCESS_INFORMATION* process_information);

// Ends the child at once (SIGKILL); it must still be waited for, as on Windows. The exit code
// seen afterwards is 128 + 9, not `exit_code`. FALSE for a handle that names no process.
BOOL TerminateProcess(HANDLE process, UINT exit_code);

// The pseudo handle of the calling process, for DuplicateHandle.
HANDLE GetCurrentProcess();

// A second handle to the same process object, within the calling process (`source_process` and
// `target_process` are GetCurrentProcess()); access, inheritance and options are ignored. Only
// process handles are duplicated here: anything else fails with ERROR_NOT_SUPPORTED (closing a
// pipe's handle ends the pipe, which a second handle could not survive).
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD desired_access, BOOL inherit_handle, DWORD options);

// STILL_ACTIVE while the child runs; its exit status (or 128 + signal number) afterwards.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code);

namespace halcy {

// The arguments of a Windows command line.
std::vector<std::u16string> SplitCommandLine(std::u16string_view command_line);

// CreateProcessW's work, shared with the platform library's restricted creation
// (platform/hcsafe.h): with `reset_signals` the child also starts with no blocked signal and
// every signal at its default disposition.
BOOL SpawnProcess(LPCWSTR application_name, LPWSTR command_line, LPCWSTR current_directory,
                  bool reset_signals, PROCESS_INFORMATION* info);

}  // namespace halcy
