#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/win32.h"

extern char** environ;

namespace halcy {
namespace {

// A child process. It is reaped by whichever waiter first sees it end.
class Process final : public WaitableObject {
 public:
  explicit Process(pid_t pid) : pid_(pid) {
    // A pidfd lets several waiters sleep on the child's end without racing for waitpid.
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  }

  DWORD Wait(DWORD timeout_ms) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (TryReap()) return WAIT_OBJECT_0;
      int slice = SliceMs(timeout_ms, deadline);
      if (slice == 0) return WAIT_TIMEOUT;
      if (pidfd_ >= 0) {
        pollfd fd = {pidfd_, POLLIN, 0};
        poll(&fd, 1, slice);  // woken by the child's end, or the slice runs out
      } else {
        // Kernels without pidfd: look again every millisecond.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }

  // STILL_ACTIVE while running.
  DWORD ExitCode() {
    if (!TryReap()) return STILL_ACTIVE;
    std::lock_guard<std::mutex> lock(mutex_);
    return exit_code_;
  }

  DWORD pid() const { return static_cast<DWORD>(pid_); }

  // SIGKILL unless the child has been reaped already (its pid may then be someone else's).
  void Kill() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exited_) kill(pid_, SIGKILL);
  }

 private:
  ~Process() override {
    TryReap();  // a child still running is left alone, as closing a handle does not end it
    if (pidfd_ >= 0) close(pidfd_);
  }

  // -1 for an infinite wait, else the milliseconds left (0 when the deadline passed).
  static int SliceMs(DWORD timeout_ms, std::chrono::steady_clock::time_point deadline) {
    if (timeout_ms == INFINITE) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }

  bool TryReap() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exited_) return true;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return false;
    if (r == pid_) {
      exit_code_ = WIFEXITED(status)     ? static_cast<DWORD>(WEXITSTATUS(status))
                   : WIFSIGNALED(status) ? 128 + static_cast<DWORD>(WTERMSIG(status))
                                         : 1;
    } else {
      exit_code_ = 1;  // reaped elsewhere (or not our child): count it as ended
    }
    exited_ = true;
    return true;
  }

  const pid_t pid_;
  int pidfd_ = -1;  // Constant after construction
  std::mutex mutex_;
  bool exited_ = false;  // Guarded by mutex_
  DWORD exit_code_ = 0;  // Guarded by mutex_
};

// Appends one argument starting at `i`; returns the index after it.
size_t ParseArgument(std::u16string_view line, size_t i, std::u16string* arg) {
  bool quoted = false;
  while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
    if (line[i] == u'\\') {
      size_t n = 0;
      while (i < line.size() && line[i] == u'\\') ++n, ++i;
      if (i < line.size() && line[i] == u'"') {
        arg->append(n / 2, u'\\');
        if (n % 2 == 1) {
          arg->push_back(u'"');
          ++i;
        }
      } else {
        arg->append(n, u'\\');
      }
    } else if (line[i] == u'"') {
      quoted = !quoted;
      ++i;
    } else {
      arg->push_back(line[i++]);
    }
  }
  return i;
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    i = ParseArgument(line, i, &arg);
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace halcy

namespace halcy {

BOOL SpawnProcess(LPCWSTR application_name, LPWSTR command_line, LPCWSTR current_directory,
                  bool reset_signals, PROCESS_INFORMATION* info) {
  std::vector<std::u16string> args = SplitCommandLine(command_line ? command_line : u"");
  if (args.empty() && !application_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string program = ToNativePath(application_name ? application_name : args[0]);
  if (args.empty()) args.push_back(application_name);
  std::vector<std::string> narrow;
  narrow.reserve(args.size());
  for (const auto& a : args) narrow.push_back(Utf16ToUtf8(a));
  narrow[0] = program;
  std::vector<char*> argv;
  for (auto& a : narrow) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (current_directory) {
    posix_spawn_file_actions_addchdir_np(&actions, ToNativePath(current_directory).c_str());
  }
  // Only the standard streams cross over, whatever the parent has open without close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (reset_signals) {
    // No blocked signal and no ignored one survives into the child.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    SetLastError(error == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto* process = new Process(pid);
  process->AddRef();  // the second handle's reference
  if (info) {
    info->hProcess = InsertHandle(process);
    info->hThread = InsertHandle(process);
    info->dwProcessId = process->pid();
    info->dwThreadId = process->pid();
  } else {
    process->Release();
    process->Release();  // nobody can wait: the child is reaped if it has ended by now
  }
  return TRUE;
}

}  // namespace halcy

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, void* /*process_attributes*/,
                    void* /*thread_attributes*/, BOOL /*inherit_handles*/, DWORD /*creation_flags*/,
                    void* /*environment*/, LPCWSTR current_directory,
                    STARTUPINFOW* /*startup_info*/, PROCESS_INFORMATION* info) {
  return halcy::SpawnProcess(application_name, command_line, current_directory, false, info);
}

BOOL GetExitCodeProcess(HANDLE handle, DWORD* exit_code) {
  halcy::KernelRef<halcy::Process> process = halcy::LookUpHandle<halcy::Process>(handle);
  if (!process) return FALSE;
  if (exit_code) *exit_code = process->ExitCode();
  return TRUE;
}

BOOL TerminateProcess(HANDLE handle, UINT /*exit_code: the status is the signal's*/) {
  halcy::KernelRef<halcy::Process> process = halcy::LookUpHandle<halcy::Process>(handle);
  if (!process) return FALSE;
  process->Kill();
  return TRUE;
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }  // -1, as on Windows

BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD /*desired_access*/, BOOL /*inherit_handle*/, DWORD /*options*/) {
  if (source_process != GetCurrentProcess() || target_process != GetCurrentProcess() || !target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  halcy::KernelRef<halcy::KernelObject> object = halcy::LookUpKernelObject(source);
  if (!object) return FALSE;
  if (!dynamic_cast<halcy::Process*>(object.get())) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  *target = halcy::InsertHandle(object.release());  // the lookup's reference becomes the handle's
  return TRUE;
}
