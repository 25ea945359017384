#include "platform/hcsafe.h"

#include <atomic>

#include "platform/event.h"
#include "platform/multi_wait.h"
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/win32.h"

namespace halcy {
namespace {

std::atomic<int> g_enabled{0};
std::atomic<int> g_last_restricted_kind{0};

// Runs one plain call with the thread's last error cleared and hands the error it leaves to
// `*error` (0 after a success that sets none); the thread's own last error is restored, as a
// call into another library would leave it.
template <class Call>
auto WithErrorOut(DWORD* error, Call call) {
  const DWORD saved = GetLastError();
  SetLastError(ERROR_SUCCESS);
  auto result = call();
  if (error) *error = GetLastError();
  SetLastError(saved);
  return result;
}

std::u16string_view NameOf(LPCWSTR name) {
  return name ? std::u16string_view(name) : std::u16string_view();
}

}  // namespace

void SetHcsafeEnabledForTesting(bool enabled) { g_enabled.store(enabled ? 1 : 0); }

int LastRestrictedProcessKindForTesting() { return g_last_restricted_kind.load(); }

}  // namespace halcy

int CheckHcsafeEnable() { return halcy::g_enabled.load(); }
int CheckHookEnable_pipe() { return halcy::g_enabled.load(); }
int CheckHookEnable_waitable() { return halcy::g_enabled.load(); }
int CheckHookEnable_file() { return halcy::g_enabled.load(); }

HANDLE Internal_HC_CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode,
                                    DWORD max_instances, DWORD /*out_buffer_size*/,
                                    DWORD /*in_buffer_size*/, DWORD /*default_timeout_ms*/,
                                    void* /*security_attributes*/, DWORD* error) {
  // Socket buffers size themselves; the time-out only matters to WaitNamedPipe, unused here.
  constexpr DWORD kSupportedOpenMode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
  if (open_mode != kSupportedOpenMode || max_instances != 1 ||
      pipe_mode != (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT)) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  return halcy::WithErrorOut(error, [&] {
    HANDLE pipe = halcy::CreatePipeServer(halcy::NameOf(name));
    return pipe ? pipe : INVALID_HANDLE_VALUE;
  });
}

HANDLE Internal_HC_CreateFileW(LPCWSTR name, DWORD desired_access, DWORD /*share_mode*/,
                               void* /*security_attributes*/, DWORD creation_disposition,
                               DWORD flags_and_attributes, HANDLE /*template_file*/, DWORD* error) {
  // The security quality-of-service bits describe impersonation, which has no meaning here.
  if ((desired_access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE) ||
      creation_disposition != OPEN_EXISTING || !(flags_and_attributes & FILE_FLAG_OVERLAPPED)) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return INVALID_HANDLE_VALUE;
  }
  return halcy::WithErrorOut(error, [&] {
    HANDLE pipe = halcy::OpenPipeClient(halcy::NameOf(name));
    return pipe ? pipe : INVALID_HANDLE_VALUE;
  });
}

BOOL Internal_HC_ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return ConnectNamedPipe(pipe, overlapped); });
}

BOOL Internal_HC_ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read,
                          OVERLAPPED* overlapped, DWORD* error) {
  return halcy::WithErrorOut(
      error, [&] { return ReadFile(file, buffer, bytes_to_read, bytes_read, overlapped); });
}

BOOL Internal_HC_WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write,
                           DWORD* bytes_written, OVERLAPPED* overlapped, DWORD* error) {
  return halcy::WithErrorOut(
      error, [&] { return WriteFile(file, buffer, bytes_to_write, bytes_written, overlapped); });
}

BOOL Internal_HC_CancelIo(HANDLE file, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return CancelIo(file); });
}

BOOL Internal_HC_CloseHandle(HANDLE handle, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return CloseHandle(handle); });
}

HANDLE Internal_HC_CreateEventW(void* security_attributes, BOOL manual_reset, BOOL initial_state,
                                LPCWSTR name, DWORD* error) {
  return halcy::WithErrorOut(
      error, [&] { return CreateEventW(security_attributes, manual_reset, initial_state, name); });
}

BOOL Internal_HC_SetEvent(HANDLE event, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return SetEvent(event); });
}

BOOL Internal_HC_ResetEvent(HANDLE event, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return ResetEvent(event); });
}

DWORD Internal_HC_WaitForSingleObject(HANDLE object, DWORD timeout_ms, DWORD* error) {
  return halcy::WithErrorOut(error, [&] { return WaitForSingleObject(object, timeout_ms); });
}

DWORD Internal_HC_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                         DWORD timeout_ms, DWORD* error) {
  return halcy::WithErrorOut(
      error, [&] { return WaitForMultipleObjects(count, handles, wait_all, timeout_ms); });
}

BOOL Internal_HC_CreateRestrictedProcessW(int kind, LPCWSTR application_name, LPWSTR command_line,
                                          void* /*process_attributes*/, void* /*thread_attributes*/,
                                          BOOL /*inherit_handles*/, DWORD /*creation_flags*/,
                                          void* /*environment*/, LPCWSTR current_directory,
                                          STARTUPINFOW* /*startup_info*/,
                                          PROCESS_INFORMATION* process_information, DWORD* error) {
  if (kind != 5 && (kind < 7 || kind > 10)) {
    if (error) *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  halcy::g_last_restricted_kind.store(kind);
  return halcy::WithErrorOut(error, [&] {
    return halcy::SpawnProcess(application_name, command_line, current_directory, true,
                               process_information);
  });
}
