#include "thread/thread_post.h"

#include "thread/service_lookup.h"

namespace Thread {

ComPtr<IThreadService> GetThreadService() {
  return GetServiceOrLog<IThreadService>(u"IThreadService");
}

namespace {

// Hands `task` to the thread service with `post`; deletes it when there is no service.
template <class Post>
bool PostThroughService(CTask* task, Post post) {
  if (!task) return false;
  ComPtr<IThreadService> service = GetThreadService();
  if (!service) {
    delete task;
    return false;
  }
  return SUCCEEDED(post(service.Get()));
}

}  // namespace

bool PostTask(int kind, CTask* task) {
  return PostThroughService(task, [&](IThreadService* s) { return s->PostTask(kind, task); });
}

bool PostTaskToThread(DWORD thread_id, CTask* task) {
  return PostThroughService(
      task, [&](IThreadService* s) { return s->PostTaskToThread(thread_id, task); });
}

CMessageLoop* CurrentMessageLoop() {
  ComPtr<IMessageLoopRegistry> registry =
      GetServiceOrLog<IMessageLoopRegistry>(u"IMessageLoopRegistry");
  if (!registry) return nullptr;
  CMessageLoop* loop = nullptr;
  if (FAILED(registry->GetMessageLoopForThread(GetCurrentThreadId(), &loop))) return nullptr;
  return loop;
}

}  // namespace Thread
