#include "process/child_process_launcher.h"

#include <utility>

#include "common/function_tracer.h"
#include "common/log.h"
#include "common/scope_timer.h"
#include "module/logic_global_service.h"
#include "module/services.h"
#include "platform/hcsafe.h"
#include "platform/kernel_object.h"
#include "platform/win32.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace Logic {
namespace {

constexpr DWORD kCreateBreakawayFromJob = 0x01000000;

struct KindRule {
  std::u16string_view type;
  int kind;
};
// Looked for in this order; the first one found decides.
constexpr KindRule kKindRules[] = {
    {u"--type=render", 7},  {u"--type=plugin_js", 8},       {u"--type=fe", 9},
    {u"--type=broker", 10}, {u"--type=BrindleProcess", 10}, {u"--type=nosafeboxrender", 10},
};
constexpr int kPlainKind = 5;

}  // namespace

int ChildProcessKind(std::u16string_view command_line) {
  for (const KindRule& rule : kKindRules) {
    if (command_line.find(rule.type) != std::u16string_view::npos) return rule.kind;
  }
  return kPlainKind;
}

// --- CContext ---

CChildProcessLauncher::CContext::CContext() = default;

CChildProcessLauncher::CContext::~CContext() {
  if (process_info_.hThread) CloseHandle(process_info_.hThread);
  if (process_info_.hProcess) CloseHandle(process_info_.hProcess);
}

bool CChildProcessLauncher::CContext::Launch(const std::u16string& program,
                                             const std::u16string& command_line,
                                             IChildProcessLauncherClient* client) {
  CFunctionTracer trace(u"function;", u"Logic::CChildProcessLauncher::CContext::Launch", u"");
  CScopeTimer timer("Logic::CChildProcessLauncher::CContext::Launch", true);
  thread_service_ = Thread::GetThreadService();
  if (!thread_service_) return false;
  client_ = base::RefPtr<IChildProcessLauncherClient>(client);
  state_ = kLaunching;
  Thread::CTask* task = Thread::NewTask(this, &CContext::LaunchInternal,
                                        u"&CContext::LaunchInternal", program, command_line);
  // A task that cannot be built or delivered leaves the launch pending for good, as a
  // process-launch thread that never gets to it would.
  if (task) thread_service_->PostTask(Thread::kThreadProcessLauncher, task);
  return true;
}

void CChildProcessLauncher::CContext::LaunchInternal(std::u16string program,
                                                     std::u16string command_line) {
  CFunctionTracer trace(u"function;", u"Logic::CChildProcessLauncher::CContext::LaunchInternal",
                        u"");
  CScopeTimer timer("Logic::CChildProcessLauncher::CContext::LaunchInternal", true);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  const int kind = ChildProcessKind(command_line);
  BOOL created;
  if (CheckHcsafeEnable()) {
    DWORD error = 0;
    created = Internal_HC_CreateRestrictedProcessW(
        kind, program.c_str(), command_line.data(), nullptr, nullptr, TRUE, kCreateBreakawayFromJob,
        nullptr, nullptr, &startup, &process_info_, &error);
    SetLastError(error);
  } else {
    created = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                             kCreateBreakawayFromJob, nullptr, nullptr, &startup, &process_info_);
  }
  if (!created) {
    process_info_ = PROCESS_INFORMATION{};
    Log(kLogProgress, u"oldlog;", u"Check for Navigate Create RenderProcess Failed ");
  } else if (ComPtr<ILogicGlobalService> global = GetLogicGlobalService()) {
    // The service keeps what it is given; the context keeps its own handle for its lifetime.
    HANDLE handed = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), process_info_.hProcess, GetCurrentProcess(), &handed,
                        0, FALSE, 0) &&
        FAILED(global->AddChildProcess(handed))) {
      CloseHandle(handed);
    }
  }
  done_event_.Signal();
  Thread::CTask* task =
      Thread::NewTask(this, &CContext::Notify, u"&CContext::Notify", created ? 1 : 0);
  if (task) thread_service_->PostTask(Thread::kThreadUI, task);
}

void CChildProcessLauncher::CContext::Notify(int result) {
  CFunctionTracer trace(u"function;", u"Logic::CChildProcessLauncher::CContext::Notify", u"");
  state_ = result ? kLaunched : kIdle;
  if (result && client_) client_->OnProcessLaunched(process_info_.hProcess);
}

// --- CChildProcessLauncher ---

CChildProcessLauncher::CChildProcessLauncher(CCommandLine command_line)
    : command_line_(std::move(command_line)) {}

bool CChildProcessLauncher::Launch(IChildProcessLauncherClient* client) {
  context_ = base::RefPtr<CContext>(new CContext());
  return context_->Launch(command_line_.GetProgram(), command_line_.GetCommandLineString(), client);
}

}  // namespace Logic
