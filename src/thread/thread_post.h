// Posting work to the browser's threads, the way the module does it: the thread service is
// looked up for each post and released after it, and the task is owned by the service from the
// moment it is handed over (deleted unrun when there is no service).
//
//   Thread::PostTask(Thread::kThreadUI,
//                    Thread::NewTask(this, &CHost::PopFrameInUIThread,
//                                    u"&CHost::PopFrameInUIThread", frame_id));
//
// A callback for a listener runs on the thread that registered it: `CallOnThread` runs it at
// once when the caller is already there, and otherwise posts it as a task named "func":
//
//   Thread::CallOnThread(entry.thread_id, [listener, json] { listener->OnEvent(json); });
//
// Safe from any thread.
#pragma once

#include <utility>

#include "platform/com.h"
#include "platform/threads.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace Thread {

// The thread service, or null (after the "GetService(IThreadService) failed: %d" line).
ComPtr<IThreadService> GetThreadService();

// Take ownership of `task` whatever the result; false when it could not be handed over.
bool PostTask(int kind, CTask* task);
bool PostTaskToThread(DWORD thread_id, CTask* task);

// The loop of the calling thread from the loop registry, or null when the service is missing
// or has none. Borrowed: valid while the calling thread's loop lives.
CMessageLoop* CurrentMessageLoop();

// Runs `fn` on the thread `thread_id`: inline when called there, else as a "func" task.
template <class F>
void CallOnThread(DWORD thread_id, F&& fn) {
  if (thread_id == GetCurrentThreadId()) {
    fn();
    return;
  }
  if (CTask* task = NewFuncTask(std::forward<F>(fn))) PostTaskToThread(thread_id, task);
}

}  // namespace Thread
