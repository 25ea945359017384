// ILogicGlobalService: the browser's global logic service. The module uses three of its
// operations: posting a task to a thread kind (the extension manager posts its switch-user
// task this way), handing over a child process's handle, and reading the browser's shutdown
// event (a manual-reset event signalled when the browser shuts down; synchronous IPC sends
// stop waiting when it fires).
//
// The operations between them are the browser's and unused by the module; they answer
// E_NOTIMPL here. Free-threaded: any method from any thread.
#pragma once

#include "platform/com.h"

namespace Thread {
class CTask;
}

namespace Logic {

struct ILogicGlobalService : IUnknown {
  static constexpr IID kIID = MakeGuid("36D3D654-6FA0-482C-8DA1-93383425536C");
  virtual HRESULT ReservedSlot3() = 0;
  virtual HRESULT ReservedSlot4() = 0;
  // 5: takes ownership of a child process's handle (the browser closes it at shutdown).
  virtual HRESULT AddChildProcess(HANDLE process) = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  // 8: as IThreadService::PostTask: takes ownership of `task` and runs it on the thread of
  // `kind`.
  virtual HRESULT PostTask(int kind, Thread::CTask* task) = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  // 11: the shutdown event's handle; the service keeps it (the caller does not close it), and
  // it stays open until the service is released at the browser's exit.
  virtual HRESULT GetShutdownEvent(HANDLE* event) = 0;
};

}  // namespace Logic
