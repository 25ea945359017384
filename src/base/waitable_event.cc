#include "base/waitable_event.h"

#include "platform/event.h"
#include "platform/hcsafe.h"
#include "platform/multi_wait.h"
#include "platform/win32.h"

namespace base {

namespace {

constexpr size_t kMaxWaitMany = 3;

bool UseLibrary() { return CheckHcsafeEnable() && CheckHookEnable_waitable(); }

}  // namespace

CWaitableEvent::CWaitableEvent(bool initially_signaled) {
  const BOOL initial = initially_signaled ? TRUE : FALSE;
  if (UseLibrary()) {
    DWORD error = 0;
    handle_ = Internal_HC_CreateEventW(nullptr, TRUE, initial, nullptr, &error);
    SetLastError(error);
  } else {
    handle_ = CreateEventW(nullptr, TRUE, initial, nullptr);
  }
}

CWaitableEvent::CWaitableEvent(Borrowed, HANDLE handle) : handle_(handle), owned_(false) {}

CWaitableEvent::~CWaitableEvent() { Close(); }

void CWaitableEvent::Signal() {
  if (CheckHcsafeEnable()) {
    DWORD error = 0;
    Internal_HC_SetEvent(handle_, &error);
    SetLastError(error);
  } else {
    SetEvent(handle_);
  }
}

void CWaitableEvent::Reset() {
  if (UseLibrary()) {
    DWORD error = 0;
    Internal_HC_ResetEvent(handle_, &error);
    SetLastError(error);
  } else {
    ResetEvent(handle_);
  }
}

bool CWaitableEvent::TimedWait(DWORD timeout_ms) {
  DWORD result;
  if (UseLibrary()) {
    DWORD error = 0;
    result = Internal_HC_WaitForSingleObject(handle_, timeout_ms, &error);
    SetLastError(error);
  } else {
    result = WaitForSingleObject(handle_, timeout_ms);
  }
  return result == WAIT_OBJECT_0;
}

void CWaitableEvent::Close() {
  if (!handle_) return;
  if (!owned_) {
    handle_ = nullptr;
    return;
  }
  if (UseLibrary()) {
    DWORD error = 0;
    Internal_HC_CloseHandle(handle_, &error);
    SetLastError(error);
  } else {
    CloseHandle(handle_);
  }
  handle_ = nullptr;
}

CWaitableEvent* CWaitableEvent::WaitMany(CWaitableEvent* const* events, size_t count) {
  HANDLE handles[kMaxWaitMany];
  CWaitableEvent* owners[kMaxWaitMany];
  DWORD n = 0;
  for (size_t i = 0; i < count && i < kMaxWaitMany; ++i) {
    if (!events[i]) continue;
    handles[n] = events[i]->handle_;
    owners[n] = events[i];
    ++n;
  }
  if (n == 0) return nullptr;
  DWORD result;
  if (UseLibrary()) {
    DWORD error = 0;
    result = Internal_HC_WaitForMultipleObjects(n, handles, FALSE, INFINITE, &error);
    SetLastError(error);
  } else {
    result = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
  }
  const DWORD index = result - WAIT_OBJECT_0;
  return index < n ? owners[index] : nullptr;
}

}  // namespace base
