// Logic::CChildProcessLauncher starts a child process of the browser without blocking the
// caller: the process is created on the process-launch thread (kThreadProcessLauncher) and the
// outcome reaches the UI thread, where the client hears of a successful launch. The child's
// kind, read from its "--type=" switch, goes to the platform library's restricted process
// creation when the library is on; otherwise CreateProcessW runs with the same arguments. Either
// way the child inherits no descriptor but its standard streams.
//
//   base::RefPtr<CChildProcessLauncher> launcher(new CChildProcessLauncher(line));
//   launcher->Launch(client);  // false only without the thread service
//
// Threads: Launch from any thread; "&CContext::LaunchInternal" runs on the process-launch
// thread, "&CContext::Notify" on the UI thread. A context's fields are written by one thread at
// a time in that order; other threads read the process only after done_event is signalled.
// The launcher itself is used by one thread at a time.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "base/ref_counted.h"
#include "base/waitable_event.h"
#include "platform/com.h"
#include "platform/process.h"
#include "process/command_line.h"

namespace Thread {
struct IThreadService;
}

namespace Logic {

// Told about a successful launch, on the UI thread. Reference counted: a launch in flight holds
// its client.
class IChildProcessLauncherClient {
 public:
  virtual void AddRef() const = 0;
  virtual void Release() const = 0;
  // `process` stays owned by the launch's context.
  virtual void OnProcessLaunched(HANDLE process) = 0;

 protected:
  virtual ~IChildProcessLauncherClient() = default;
};

// The kind handed to the platform library for a child with `command_line`: the first of
// "--type=render" 7, "--type=plugin_js" 8, "--type=fe" 9, "--type=broker",
// "--type=BrindleProcess" and "--type=nosafeboxrender" 10 that occurs in it, else 5.
int ChildProcessKind(std::u16string_view command_line);

class CChildProcessLauncher : public base::CRefCountedThreadSafe<CChildProcessLauncher> {
 public:
  // One launch attempt.
  class CContext : public base::CRefCountedThreadSafe<CContext> {
   public:
    enum State { kIdle = 0, kLaunching = 1, kLaunched = 2 };

    CContext();

    // Any thread: stores the client, sets state 1 and posts "&CContext::LaunchInternal" to the
    // process-launch thread. The task carries its own copies of `program` and `command_line`,
    // so a launcher released meanwhile takes nothing from under it. False, with nothing
    // posted, when there is no thread service.
    bool Launch(const std::u16string& program, const std::u16string& command_line,
                IChildProcessLauncherClient* client);

    // Process-launch thread: creates the process, hands a handle of it to ILogicGlobalService,
    // signals done_event and posts "&CContext::Notify" with the outcome to the UI thread.
    void LaunchInternal(std::u16string program, std::u16string command_line);
    // UI thread: state 2 and the client's OnProcessLaunched on success, else state 0.
    void Notify(int result);

    // Read on the UI thread, or anywhere after done_event.
    int state() const { return state_.load(); }
    // Signalled once process creation has been attempted, whatever its outcome.
    base::CWaitableEvent* done_event() { return &done_event_; }
    // Valid after done_event: the created process, or zeros when creation failed.
    const PROCESS_INFORMATION& process_info() const { return process_info_; }

   private:
    friend class base::CRefCountedThreadSafe<CContext>;
    ~CContext();

    std::atomic<int> state_{kIdle};
    base::RefPtr<IChildProcessLauncherClient> client_;
    PROCESS_INFORMATION process_info_{};
    ComPtr<Thread::IThreadService> thread_service_;
    base::CWaitableEvent done_event_{false};
  };

  explicit CChildProcessLauncher(CCommandLine command_line);

  // Replaces (and releases) the previous launch's context with a fresh one and launches the
  // program with the assembled line. False when the launch could not even be posted.
  bool Launch(IChildProcessLauncherClient* client);

  // The latest launch, or null before the first.
  CContext* context() const { return context_.get(); }
  CCommandLine& command_line() { return command_line_; }

 private:
  friend class base::CRefCountedThreadSafe<CChildProcessLauncher>;
  ~CChildProcessLauncher() = default;

  base::RefPtr<CContext> context_;
  CCommandLine command_line_;
};

}  // namespace Logic
