#include "host/browser_thread.h"

#include <pthread.h>

#include "host/thread_service.h"
#include "platform/threads.h"
#include "thread/message_loop.h"
#include "thread/message_pump_io.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace host {

CBrowserThread::CBrowserThread(int kind, const char* name, CThreadService* service)
    : kind_(kind), name_(name), service_(service) {}

CBrowserThread::~CBrowserThread() { Stop(); }

bool CBrowserThread::Start() {
  if (thread_.joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start_reported_ = false;
    start_ok_ = false;
  }
  thread_ = std::thread(&CBrowserThread::ThreadMain, this);
  std::unique_lock<std::mutex> lock(mutex_);
  started_cv_.wait(lock, [this] { return start_reported_; });
  if (!start_ok_) {
    lock.unlock();
    thread_.join();
    return false;
  }
  return true;
}

void CBrowserThread::Stop() {
  if (!thread_.joinable()) return;
  // The quit task runs after everything queued before it, on the thread itself.
  Thread::CMessageLoopProxy* proxy = proxy_.get();
  proxy->PostTask(Thread::NewFuncTask([proxy] { proxy->loop()->QuitNow(); }, u"quit"), 0);
  thread_.join();
}

void CBrowserThread::ReportStarted(bool ok) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    start_reported_ = true;
    start_ok_ = ok;
  }
  started_cv_.notify_one();
}

void CBrowserThread::ThreadMain() {
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  base::RefPtr<Thread::CMessagePump> pump;
  if (kind_ == Thread::kThreadIPC) {
    auto* io = new Thread::CMessagePumpForIO();
    pump = base::RefPtr<Thread::CMessagePump>(io);
    if (!io->port) {
      ReportStarted(false);
      return;
    }
  } else {
    pump = base::RefPtr<Thread::CMessagePump>(new Thread::CMessagePumpDefault());
  }
  DWORD tid = GetCurrentThreadId();
  {
    Thread::CMessageLoop loop(name_.c_str(), pump.get());
    thread_id_ = tid;
    proxy_ = base::RefPtr<Thread::CMessageLoopProxy>(loop.proxy());
    service_->RegisterMessageLoop(tid, &loop);
    service_->SetThread(kind_, tid, loop.proxy());
    ReportStarted(true);
    loop.Run();
    service_->UnregisterMessageLoop(tid);
  }  // the loop goes: observers are told, the proxy is detached, queued tasks are deleted
}

}  // namespace host
