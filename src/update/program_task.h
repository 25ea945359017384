// The browser's program tasks as the module sees them: a program task runs one program (an
// application's setup program, or an installed application) and tells its listener how it
// ended; the program task manager starts the tasks handed to it and keeps them until they end.
// Both are created through the object factory; the browser implements them (host/program_task.h).
//
//   ComPtr<IProgramTask> task;
//   Util::Com::CreateObjectByIID(IProgramTask::kIID, task.ReleaseAndGetVoidAddress());
//   task->SetProgram(u"/home/u/.config/halcy/browser/SysData/localextensions/app/setup.sh");
//   task->SetParameters(u"/S \"/D=C:\\Program Files\\App\"");  // split, never given to a shell
//   task->SetOptions(1, 3);        // a non-zero exit status is an error; at most 3 minutes
//   task->SetListener(listener);   // reports come back on this thread
//   manager->AddTask(task.Get());  // starts it
//
// Threads: a task is configured, and handed to the manager, on one thread (the owner's); the
// listener is called on the thread that set it, once per started task, with no lock held.
#pragma once

#include "platform/com.h"
#include "platform/win_types.h"

namespace Logic {

struct IProgramTask;

// How a started program ended. Exactly one of the two is called per started task.
struct IProgramTaskListener : IUnknown {
  static constexpr IID kIID = MakeGuid("5CB927EA-E4DE-42AF-8563-31F76998310E");
  // The program ended as its options count as success.
  virtual HRESULT OnProgressFinish(IProgramTask* task) = 0;
  // It could not be started, ended with a failing status, was killed by a signal, or ran past
  // its time limit (and was killed). `error` is the exit status when there was one, else -1.
  virtual HRESULT OnProgressError(IProgramTask* task, LONG error) = 0;
};

// Option values of SetOptions.
constexpr LONG kProgramAnyExitIsSuccess = 0;   // first option: any normal exit is success
constexpr LONG kProgramZeroExitIsSuccess = 1;  // first option: only exit status 0 is
constexpr LONG kProgramNoTimeLimit = 0;        // second option: minutes, 0 for no limit

struct IProgramTask : IUnknown {
  static constexpr IID kIID = MakeGuid("DDAD61E9-45F8-4ADB-837D-82434663F5BD");
  // The program file (a Windows-style or native path). E_INVALIDARG for none.
  virtual HRESULT SetProgram(BSTR path) = 0;
  // The parameters as one command-line text: split at blanks, double quotation marks group
  // blanks into one argument, a backslash before a quotation mark makes it literal. Null or ""
  // for none.
  virtual HRESULT SetParameters(BSTR parameters) = 0;
  // E_INVALIDARG for none; records the calling thread as the one reports go to.
  virtual HRESULT SetListener(IProgramTaskListener* listener) = 0;
  // `exit_rule`: kProgramZeroExitIsSuccess or kProgramAnyExitIsSuccess. `time_limit_minutes`:
  // a program still running after that long is killed and reported as an error (0: no limit).
  // Defaults: 1 and 0.
  virtual HRESULT SetOptions(LONG exit_rule, LONG time_limit_minutes) = 0;
  // The program path as set (a copy; null when never set).
  virtual HRESULT GetProgram(BSTR* path) = 0;
};

struct IProgramTaskManager : IUnknown {
  static constexpr IID kIID = MakeGuid("83F25E92-7BE0-491D-9703-263080B32A4A");
  // Starts `task` and keeps it until it has ended and its listener was told. E_INVALIDARG for
  // none or for a task of another implementation; E_UNEXPECTED for a task without program or
  // listener, or one already started. A program that cannot be started is still reported,
  // through OnProgressError, and AddTask returns S_OK.
  virtual HRESULT AddTask(IProgramTask* task) = 0;
  // The number of tasks started and not yet reported.
  virtual HRESULT GetRunningCount(LONG* count) = 0;
};

}  // namespace Logic
