#include "host/thread_service.h"

#include "thread/message_loop.h"
#include "thread/task.h"

namespace host {

base::RefPtr<Thread::CMessageLoopProxy> CThreadService::ProxyForKind(int kind) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = kinds_.find(kind);
  return it == kinds_.end() ? nullptr : it->second.proxy;
}

base::RefPtr<Thread::CMessageLoopProxy> CThreadService::ProxyForThread(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = loops_.find(thread_id);
  return it == loops_.end() ? nullptr : it->second.proxy;
}

HRESULT CThreadService::GetThreadId(int kind, DWORD* thread_id) {
  if (!thread_id) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  auto it = kinds_.find(kind);
  *thread_id = it == kinds_.end() ? 0 : it->second.thread_id;
  return it == kinds_.end() ? E_INVALIDARG : S_OK;
}

HRESULT CThreadService::GetMessageLoop(int kind, Thread::CMessageLoop** loop) {
  if (!loop) return E_POINTER;
  base::RefPtr<Thread::CMessageLoopProxy> proxy = ProxyForKind(kind);
  *loop = proxy ? proxy->loop() : nullptr;
  return *loop ? S_OK : E_FAIL;
}

HRESULT CThreadService::PostTask(int kind, Thread::CTask* task) {
  if (!task) return E_POINTER;
  base::RefPtr<Thread::CMessageLoopProxy> proxy = ProxyForKind(kind);
  if (!proxy) {
    delete task;  // ownership was ours from the call on
    return E_INVALIDARG;
  }
  return proxy->PostTask(task, 0) ? S_OK : E_FAIL;
}

HRESULT CThreadService::PostTaskToThread(DWORD thread_id, Thread::CTask* task) {
  if (!task) return E_POINTER;
  base::RefPtr<Thread::CMessageLoopProxy> proxy = ProxyForThread(thread_id);
  if (!proxy) {
    delete task;
    return E_INVALIDARG;
  }
  return proxy->PostTask(task, 0) ? S_OK : E_FAIL;
}

HRESULT CThreadService::RunLater(DWORD thread_id, int64_t delay_ms, std::function<void()> fire) {
  base::RefPtr<Thread::CMessageLoopProxy> proxy = ProxyForThread(thread_id);
  if (!proxy) return E_INVALIDARG;
  Thread::CTask* task = Thread::NewFuncTask(std::move(fire), u"timer");
  return proxy->PostTask(task, delay_ms) ? S_OK : E_FAIL;
}

HRESULT CThreadService::GetMessageLoopProxy(int kind, Thread::CMessageLoopProxy** proxy) {
  if (!proxy) return E_POINTER;
  *proxy = ProxyForKind(kind).release();
  return *proxy ? S_OK : E_INVALIDARG;
}

HRESULT CThreadService::RegisterMessageLoop(DWORD thread_id, Thread::CMessageLoop* loop) {
  if (!loop) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  loops_[thread_id] = LoopEntry{loop, base::RefPtr<Thread::CMessageLoopProxy>(loop->proxy())};
  return S_OK;
}

HRESULT CThreadService::UnregisterMessageLoop(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = loops_.find(thread_id);
  if (it == loops_.end()) return S_FALSE;
  loops_.erase(it);
  return S_OK;
}

HRESULT CThreadService::GetMessageLoopForThread(DWORD thread_id, Thread::CMessageLoop** loop) {
  if (!loop) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  auto it = loops_.find(thread_id);
  *loop = it == loops_.end() ? nullptr : it->second.loop;
  return *loop ? S_OK : S_FALSE;
}

void CThreadService::SetThread(int kind, DWORD thread_id, Thread::CMessageLoopProxy* proxy) {
  std::lock_guard<std::mutex> lock(lock_);
  kinds_[kind] = KindEntry{thread_id, base::RefPtr<Thread::CMessageLoopProxy>(proxy)};
}

}  // namespace host
