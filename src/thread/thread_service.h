// The browser's thread services as the module sees them, with the thread kinds they name.
//
// `IThreadService` posts tasks to the host's long-lived threads by kind or by system thread id
// and hands out their loops; `IMessageLoopRegistry` maps a system thread id to the loop that
// runs there. The host implements both and registers them with the object factory
// (Util::Com::GetService); the module looks them up for each use (see thread_post.h).
//
// Contract of the post operations: the service takes ownership of the task in every case; the
// task runs once on the named thread and is deleted afterwards, or is deleted without running
// when the thread is unknown or gone. Services are free-threaded: any method from any thread.
#pragma once

#include "platform/com.h"

namespace Thread {

class CMessageLoop;
class CMessageLoopProxy;
class CTask;

// Thread kinds of the host.
constexpr int kThreadUI = 1;
constexpr int kThreadProcessLauncher = 2;
constexpr int kThreadIPC = 3;
constexpr int kThreadExtensionManager = 8;

struct IThreadService : IUnknown {
  static constexpr IID kIID = MakeGuid("40791103-1705-4667-B2DB-7BC8EBADAAA8");
  // 3: the system thread id of a thread kind (E_INVALIDARG for an unknown kind).
  virtual HRESULT GetThreadId(int kind, DWORD* thread_id) = 0;
  // 4: the loop of a thread kind; no reference is transferred (null once the thread ended).
  virtual HRESULT GetMessageLoop(int kind, CMessageLoop** loop) = 0;
  // 5: takes ownership of `task` and runs it on the thread of `kind`.
  virtual HRESULT PostTask(int kind, CTask* task) = 0;
  // 6: takes ownership of `task` and runs it on the thread with that system id.
  virtual HRESULT PostTaskToThread(DWORD thread_id, CTask* task) = 0;
  // 7: the loop proxy of a thread kind, with one reference for the caller.
  virtual HRESULT GetMessageLoopProxy(int kind, CMessageLoopProxy** proxy) = 0;
};

struct IMessageLoopRegistry : IUnknown {
  static constexpr IID kIID = MakeGuid("C59AFC5A-2CB7-450E-AB48-A74FC01CEE9E");
  // 3 and 4: a thread announces its loop as it starts running and withdraws it before the
  // loop is destroyed. The loop is borrowed meanwhile.
  virtual HRESULT RegisterMessageLoop(DWORD thread_id, CMessageLoop* loop) = 0;
  virtual HRESULT UnregisterMessageLoop(DWORD thread_id) = 0;
  // 5: the loop running on `thread_id` (no reference; S_FALSE and null when there is none).
  virtual HRESULT GetMessageLoopForThread(DWORD thread_id, CMessageLoop** loop) = 0;
};

}  // namespace Thread
