// The browser's program tasks (update/program_task.h): CProgramTask holds one program with its
// parameters, options and listener; CProgramTaskManager starts it with posix_spawn and waits
// for it on a thread of its own, then reports to the listener on the listener's thread.
//
//   Util::Com::CreateObjectByIID(IProgramTask::kIID, ...);         // CProgramTask::Create
//   Util::Com::CreateObjectByIID(IProgramTaskManager::kIID, ...);  // CProgramTaskManager::Create
//
// How a program runs: the parameters are split into arguments (SplitProgramParameters) and
// passed as argv[1..] after the program path; no shell sees them. The child starts in the
// program's directory with standard input from /dev/null and standard output sent to standard
// error (the browser's standard output carries its JSON lines). Packages carry no permission
// bits, so a program file the owner may not execute is given the owner's execute bit first.
// With a time limit, a program still running when it expires is killed (SIGKILL) and reported
// as an error.
//
// Threads: a task's setters and AddTask may be called from any thread (the owner's); each task
// is waited for on its own thread, which posts the report to the listener's thread. Releasing
// the manager kills the programs still running and joins their threads, so nothing of it
// outlives it.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/com.h"
#include "platform/com_object.h"
#include "update/program_task.h"

namespace host {

// "a \"b c\" d\\\"e" -> {"a", "b c", "d\"e"}: blanks (space, tab) separate arguments outside
// double quotation marks, a quotation mark opens or closes a quoted part (so "" is an empty
// argument), and a backslash before a quotation mark stands for the mark itself. Other
// backslashes stay as they are.
std::vector<std::string> SplitProgramParameters(std::u16string_view text);

class CProgramTask : public halcy::ComObjectRoot, public Logic::IProgramTask {
 public:
  // Answered only by this class: how the manager recognises its own tasks.
  static constexpr IID kSelfIID = MakeGuid("1168511F-C9B7-451A-B928-8C260A333DFC");
  HALCY_BEGIN_INTERFACES(CProgramTask)
  HALCY_INTERFACE(CProgramTask, Logic::IProgramTask)
  HALCY_INTERFACE_IID(CProgramTask, kSelfIID, Logic::IProgramTask)
  HALCY_END_INTERFACES()

  static HRESULT Create(REFIID iid, void** out);

  HRESULT SetProgram(BSTR path) override;
  HRESULT SetParameters(BSTR parameters) override;
  HRESULT SetListener(Logic::IProgramTaskListener* listener) override;
  HRESULT SetOptions(LONG exit_rule, LONG time_limit_minutes) override;
  HRESULT GetProgram(BSTR* path) override;

  // What the manager needs to start the program; false when it has no program or listener, or
  // was started already (then nothing changes).
  struct Launch {
    std::string program;  // native path
    std::vector<std::string> arguments;
    LONG exit_rule = 1;
    LONG time_limit_minutes = 0;
  };
  bool TakeLaunch(Launch* launch);
  // Tells the listener, on its thread, how the program ended.
  void Report(bool success, LONG error);

 private:
  std::mutex lock_;
  std::u16string program_;                                // Guarded by lock_
  std::u16string parameters_;                             // Guarded by lock_
  ComPtr<Logic::IProgramTaskListener> listener_;          // Guarded by lock_
  DWORD listener_thread_ = 0;                             // Guarded by lock_
  LONG exit_rule_ = Logic::kProgramZeroExitIsSuccess;     // Guarded by lock_
  LONG time_limit_minutes_ = Logic::kProgramNoTimeLimit;  // Guarded by lock_
  bool started_ = false;                                  // Guarded by lock_
};

class CProgramTaskManager : public halcy::ComObjectRoot, public Logic::IProgramTaskManager {
 public:
  HALCY_BEGIN_INTERFACES(CProgramTaskManager)
  HALCY_INTERFACE(CProgramTaskManager, Logic::IProgramTaskManager)
  HALCY_END_INTERFACES()

  static HRESULT Create(REFIID iid, void** out);
  ~CProgramTaskManager();
  void FinalRelease();

  HRESULT AddTask(Logic::IProgramTask* task) override;
  HRESULT GetRunningCount(LONG* count) override;

 private:
  struct Running {
    pid_t pid = -1;
    int pidfd = -1;     // -1 when the kernel has no pidfd; closed by the waiter when done
    bool done = false;  // the waiter has reported and is about to return
    std::thread waiter;
  };
  void Wait(Running* running, ComPtr<CProgramTask> task, CProgramTask::Launch launch);
  // REQUIRES: lock_. Joins the waiters that are done and drops them.
  void JoinFinished(std::unique_lock<std::mutex>& lock);

  std::mutex lock_;
  std::list<Running> running_;  // Guarded by lock_
};

}  // namespace host
