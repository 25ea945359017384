#include "platform/thread_pool_wait.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/event.h"
#include "platform/multi_wait.h"
#include "platform/win32.h"

namespace halcy {
namespace {

// Shared by the registration handle and its wait thread; whichever ends last frees it.
struct WaitState {
  KernelRef<WaitableObject> object;
  WAITORTIMERCALLBACK callback;
  void* context;
  DWORD timeout_ms;
  bool once;

  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable cv;
  bool unregistered = false;          // Guarded by mutex: no callback may start
  bool running = false;               // Guarded by mutex: a callback is in progress
  bool finished = false;              // Guarded by mutex: the wait thread is done
  std::thread::id thread_id;          // Guarded by mutex
  HANDLE completion_event = nullptr;  // Guarded by mutex: set when the thread is done
};

void SignalCompletion(HANDLE event) {
  if (event && event != INVALID_HANDLE_VALUE) SetEvent(event);
}

void RunWaitThread(std::shared_ptr<WaitState> state) {
  WaitableObject* object = state->object.get();
  for (;;) {
    DWORD r = WaitForAnyObject(&object, 1, state->timeout_ms, &state->cancel);
    if (r == kWaitCancelled) break;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->unregistered) break;
      state->running = true;
    }
    state->callback(state->context, r == WAIT_TIMEOUT ? 1 : 0);
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->running = false;
    }
    state->cv.notify_all();
    if (state->once) break;
  }
  HANDLE event;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->finished = true;
    event = state->completion_event;
  }
  state->cv.notify_all();
  SignalCompletion(event);
}

// The handle-table object behind a wait handle.
class ThreadPoolWait final : public KernelObject {
 public:
  explicit ThreadPoolWait(std::shared_ptr<WaitState> state) : state_(std::move(state)) {}
  const std::shared_ptr<WaitState>& state() const { return state_; }

 private:
  std::shared_ptr<WaitState> state_;
};

}  // namespace
}  // namespace halcy

BOOL RegisterWaitForSingleObject(HANDLE* new_wait_object, HANDLE object,
                                 WAITORTIMERCALLBACK callback, void* context, ULONG timeout_ms,
                                 ULONG flags) {
  if (!new_wait_object || !callback) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto state = std::make_shared<halcy::WaitState>();
  state->object = halcy::LookUpHandle<halcy::WaitableObject>(object);
  if (!state->object) return FALSE;  // ERROR_INVALID_HANDLE
  state->callback = callback;
  state->context = context;
  state->timeout_ms = timeout_ms;
  state->once = (flags & WT_EXECUTEONLYONCE) != 0;
  std::lock_guard<std::mutex> lock(state->mutex);  // the thread id is recorded before use
  try {
    std::thread thread(halcy::RunWaitThread, state);
    state->thread_id = thread.get_id();
    thread.detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *new_wait_object = halcy::InsertHandle(new halcy::ThreadPoolWait(state));
  return TRUE;
}

BOOL UnregisterWaitEx(HANDLE wait_handle, HANDLE completion_event) {
  halcy::KernelRef<halcy::ThreadPoolWait> wait =
      halcy::LookUpHandle<halcy::ThreadPoolWait>(wait_handle);
  if (!wait) return FALSE;
  std::shared_ptr<halcy::WaitState> state = wait->state();
  CloseHandle(wait_handle);
  std::unique_lock<std::mutex> lock(state->mutex);
  state->unregistered = true;
  state->cancel.store(true, std::memory_order_release);
  halcy::NotifyWaitableSignaled();
  const bool on_wait_thread = state->thread_id == std::this_thread::get_id();
  if (completion_event == INVALID_HANDLE_VALUE) {
    if (!on_wait_thread) state->cv.wait(lock, [&] { return !state->running; });
    return TRUE;
  }
  if (state->finished || !state->running) {
    lock.unlock();
    halcy::SignalCompletion(completion_event);
    return TRUE;
  }
  if (completion_event) state->completion_event = completion_event;
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}
