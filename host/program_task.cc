#include "host/program_task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "host/outstanding_work.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "thread/thread_post.h"

extern char** environ;

namespace host {
namespace {

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

void SignalProcess(pid_t pid, int pidfd) {
#ifdef SYS_pidfd_send_signal
  // Through the pidfd the signal can never reach a process that reused the pid.
  if (pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    return;
  }
#endif
  (void)pidfd;
  kill(pid, SIGKILL);
}

// Waits until the program ends or `limit_ms` passes (-1: no limit); false on time-out.
bool WaitForExit(int pidfd, int limit_ms) {
  if (pidfd < 0) return true;  // waitpid below blocks without a limit
  pollfd entry{pidfd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, limit_ms);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // waitpid will tell
  }
}

// Packages carry no permission bits: the owner gets the execute bit it lacks.
void MakeExecutable(const std::string& program) {
  struct stat st;
  if (stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IXUSR)) {
    chmod(program.c_str(), (st.st_mode & 07777) | S_IXUSR);  // spawn reports it if it fails
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Starts the program; -1 when it cannot be started.
pid_t Spawn(const CProgramTask::Launch& launch) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(launch.program.c_str()));
  for (const std::string& argument : launch.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  const std::string directory = DirectoryOf(launch.program);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = -1;
  const int error =
      posix_spawn(&pid, launch.program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace

std::vector<std::string> SplitProgramParameters(std::u16string_view text) {
  std::vector<std::string> arguments;
  std::u16string current;
  bool in_argument = false, quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\\' && i + 1 < text.size() && text[i + 1] == u'"') {
      current += u'"';
      in_argument = true;
      ++i;
    } else if (c == u'"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == u' ' || c == u'\t') && !quoted) {
      if (in_argument) arguments.push_back(halcy::Utf16ToUtf8(current));
      current.clear();
      in_argument = false;
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) arguments.push_back(halcy::Utf16ToUtf8(current));
  return arguments;
}

HRESULT CProgramTask::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CProgramTask>(nullptr, iid, out);
}

HRESULT CProgramTask::SetProgram(BSTR path) {
  if (!path || !*path) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  program_ = path;
  return S_OK;
}

HRESULT CProgramTask::SetParameters(BSTR parameters) {
  std::lock_guard<std::mutex> lock(lock_);
  parameters_ = parameters ? parameters : u"";
  return S_OK;
}

HRESULT CProgramTask::SetListener(Logic::IProgramTaskListener* listener) {
  if (!listener) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  listener_ = ComPtr<Logic::IProgramTaskListener>(listener);
  listener_thread_ = GetCurrentThreadId();
  return S_OK;
}

HRESULT CProgramTask::SetOptions(LONG exit_rule, LONG time_limit_minutes) {
  std::lock_guard<std::mutex> lock(lock_);
  exit_rule_ = exit_rule;
  time_limit_minutes_ = time_limit_minutes < 0 ? 0 : time_limit_minutes;
  return S_OK;
}

HRESULT CProgramTask::GetProgram(BSTR* path) {
  if (!path) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  *path = program_.empty() ? nullptr : SysAllocString(program_.c_str());
  return S_OK;
}

bool CProgramTask::TakeLaunch(Launch* launch) {
  std::lock_guard<std::mutex> lock(lock_);
  if (started_ || program_.empty() || !listener_) return false;
  started_ = true;
  launch->program = halcy::ToNativePath(program_);
  launch->arguments = SplitProgramParameters(parameters_);
  launch->exit_rule = exit_rule_;
  launch->time_limit_minutes = time_limit_minutes_;
  return true;
}

void CProgramTask::Report(bool success, LONG error) {
  ComPtr<Logic::IProgramTaskListener> listener;
  DWORD thread = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    listener = std::move(listener_);  // reported once; the task lets its listener go
    thread = listener_thread_;
  }
  if (!listener) return;
  ComPtr<Logic::IProgramTask> self(this);
  Thread::CallOnThread(thread, [listener, self, success, error] {
    if (success) {
      listener->OnProgressFinish(self.Get());
    } else {
      listener->OnProgressError(self.Get(), error);
    }
  });
}

HRESULT CProgramTaskManager::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CProgramTaskManager>(nullptr, iid, out);
}

CProgramTaskManager::~CProgramTaskManager() = default;

void CProgramTaskManager::FinalRelease() {
  std::list<Running> running;
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (Running& r : running_) {
      if (!r.done && r.pid > 0) SignalProcess(r.pid, r.pidfd);
    }
    running.splice(running.end(), running_);
  }
  for (Running& r : running) {
    if (r.waiter.joinable()) r.waiter.join();
  }
}

void CProgramTaskManager::JoinFinished(std::unique_lock<std::mutex>& lock) {
  std::list<Running> finished;
  for (auto it = running_.begin(); it != running_.end();) {
    auto next = std::next(it);
    if (it->done) finished.splice(finished.end(), running_, it);
    it = next;
  }
  lock.unlock();
  for (Running& r : finished) r.waiter.join();
  lock.lock();
}

HRESULT CProgramTaskManager::AddTask(Logic::IProgramTask* task) {
  ComPtr<Logic::IProgramTask> own;
  if (!task || FAILED(task->QueryInterface(CProgramTask::kSelfIID, own.ReleaseAndGetVoidAddress())))
    return E_INVALIDARG;
  ComPtr<CProgramTask> program(static_cast<CProgramTask*>(own.Get()));
  CProgramTask::Launch launch;
  if (!program->TakeLaunch(&launch)) return E_UNEXPECTED;
  MakeExecutable(launch.program);
  std::unique_lock<std::mutex> lock(lock_);
  JoinFinished(lock);
  Running& running = running_.emplace_back();
  running.pid = Spawn(launch);
  if (running.pid > 0) running.pidfd = OpenPidfd(running.pid);
  BeginWork(WorkKind::kProgram);  // ended by Wait once the report is on its way
  running.waiter = std::thread(&CProgramTaskManager::Wait, this, &running, program, launch);
  return S_OK;
}

void CProgramTaskManager::Wait(Running* running, ComPtr<CProgramTask> task,
                               CProgramTask::Launch launch) {
  pid_t pid;
  int pidfd;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pid = running->pid;
    pidfd = running->pidfd;
  }
  bool success = false;
  LONG error = -1;
  if (pid > 0) {
    const int limit_ms = launch.time_limit_minutes > 0 ? launch.time_limit_minutes * 60000 : -1;
    if (!WaitForExit(pidfd, limit_ms)) {
      std::lock_guard<std::mutex> lock(lock_);
      SignalProcess(pid, pidfd);  // over time: reported as an error below
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid && WIFEXITED(status)) {
      error = WEXITSTATUS(status);
      success = launch.exit_rule != Logic::kProgramZeroExitIsSuccess || error == 0;
    }
  }
  task->Report(success, success ? 0 : error);
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (running->pidfd >= 0) close(running->pidfd);
    running->pidfd = -1;
    running->done = true;
  }
  EndWork(WorkKind::kProgram);
}

HRESULT CProgramTaskManager::GetRunningCount(LONG* count) {
  if (!count) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  LONG n = 0;
  for (const Running& r : running_) n += r.done ? 0 : 1;
  *count = n;
  return S_OK;
}

}  // namespace host
