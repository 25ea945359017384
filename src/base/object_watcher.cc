#include "base/object_watcher.h"

#include "base/ref_counted.h"
#include "common/log.h"
#include "platform/kernel_object.h"
#include "platform/thread_pool_wait.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace base {

// One watch. It is also the task that the wait thread posts to the watching thread: once
// posted, the loop owns and deletes it; until then, StopWatching does.
class CObjectWatcher::CWatchContext final : public Thread::CTask {
 public:
  CWatchContext() : Thread::CTask(u"&CWatchContext::Run") {}

  void Run() override {
    CObjectWatcher* w = watcher;
    if (!w) return;  // stopped after the object fired: the delegate is not called
    // The watch ends before the delegate runs, so the delegate may start a new one.
    w->StopWatching();
    delegate->OnObjectSignaled(object);
  }

  HANDLE object = nullptr;
  CDelegate* delegate = nullptr;
  HANDLE wait_object = nullptr;
  CObjectWatcher* watcher = nullptr;  // cleared when the watcher stops
  RefPtr<Thread::CMessageLoopProxy> loop_proxy;
  bool did_signal = false;  // written on the wait thread before the post, read after it
};

CObjectWatcher::~CObjectWatcher() { StopWatching(); }

HANDLE CObjectWatcher::GetWatchedObject() const { return watch_ ? watch_->object : nullptr; }

bool CObjectWatcher::StartWatching(HANDLE object, CDelegate* delegate) {
  if (watch_) return false;
  Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
  auto* context = new CWatchContext();
  context->object = object;
  context->delegate = delegate;
  context->watcher = this;
  if (loop) context->loop_proxy = RefPtr<Thread::CMessageLoopProxy>(loop->proxy());
  // Executed in the wait thread, only once.
  if (!RegisterWaitForSingleObject(&context->wait_object, object, &CObjectWatcher::DoneWaiting,
                                   context, INFINITE,
                                   WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE)) {
    delete context;
    return false;
  }
  watch_ = context;
  if (loop) loop->AddDestructionObserver(this);
  return true;
}

bool CObjectWatcher::StopWatching() {
  if (!watch_) return false;
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"0x%p stop watch event 0x%p", this, watch_);
  // Waits for a callback in progress, so that did_signal below is final.
  if (!UnregisterWaitEx(watch_->wait_object, INVALID_HANDLE_VALUE)) return false;
  watch_->watcher = nullptr;
  // Without a posted task (not fired, or no loop to post to) the context is ours to delete.
  if (!watch_->did_signal || !watch_->loop_proxy) delete watch_;
  watch_ = nullptr;
  if (Thread::CMessageLoop* loop = Thread::CurrentMessageLoop()) {
    loop->RemoveDestructionObserver(this);
  }
  return true;
}

void CObjectWatcher::WillDestroyCurrentMessageLoop() { StopWatching(); }

void CObjectWatcher::DoneWaiting(void* param, BOOLEAN /*timed_out: the wait has no limit*/) {
  auto* context = static_cast<CWatchContext*>(param);
  context->did_signal = true;
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Done waiting, event : %p, task (%p)",
             context->object, context);
  // From here on the context may be run and deleted on the watching thread at any moment.
  if (context->loop_proxy) {
    RefPtr<Thread::CMessageLoopProxy> proxy = context->loop_proxy;
    proxy->PostTask(context, 0);
  }
}

}  // namespace base
