// One long-lived browser thread of a given kind: it creates its message loop (with the
// completion-port pump on the IPC thread, the default pump elsewhere), announces it to the
// thread service, runs it, and destroys it on the same thread when asked to stop.
//
// Start and Stop are called by the owner (CHostServices) on one thread; the rest of the
// process reaches the thread only through the thread service.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "base/ref_counted.h"
#include "platform/win_types.h"
#include "thread/message_loop_proxy.h"

namespace host {

class CThreadService;

class CBrowserThread {
 public:
  // `service` is borrowed and must outlive the thread.
  CBrowserThread(int kind, const char* name, CThreadService* service);
  ~CBrowserThread();  // stops the thread
  CBrowserThread(const CBrowserThread&) = delete;
  CBrowserThread& operator=(const CBrowserThread&) = delete;

  // Starts the thread and returns once its loop accepts tasks; false if it could not start.
  bool Start();
  // Ends the loop after the tasks queued before this call and joins the thread. Tasks posted
  // later are deleted without running. Idempotent.
  void Stop();

  int kind() const { return kind_; }
  DWORD thread_id() const { return thread_id_; }

 private:
  void ThreadMain();
  // Tells Start how the thread's start went.
  void ReportStarted(bool ok);

  // Constant after construction
  const int kind_;
  const std::string name_;
  CThreadService* const service_;

  std::thread thread_;
  // Set by the thread before it reports; read by the owner after Start returned.
  DWORD thread_id_ = 0;
  base::RefPtr<Thread::CMessageLoopProxy> proxy_;

  std::mutex mutex_;
  std::condition_variable started_cv_;
  bool start_reported_ = false;  // Guarded by mutex_
  bool start_ok_ = false;        // Guarded by mutex_
};

}  // namespace host
