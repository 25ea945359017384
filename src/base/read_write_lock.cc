#include "base/read_write_lock.h"

#include "platform/event.h"
#include "platform/multi_wait.h"

namespace base {

namespace {
constexpr DWORD kSpinCount = 2000;
constexpr LONG kSemaphoreMaximum = 0x7FFFFFFF;
}  // namespace

CReadWriteLock::CReadWriteLock()
    : reader_semaphore_(CreateSemaphoreW(nullptr, 0, kSemaphoreMaximum, nullptr)),
      writer_semaphore_(CreateSemaphoreW(nullptr, 0, kSemaphoreMaximum, nullptr)) {
  InitializeCriticalSectionAndSpinCount(&guard_, kSpinCount);
}

CReadWriteLock::~CReadWriteLock() {
  CloseHandle(reader_semaphore_);
  CloseHandle(writer_semaphore_);
  DeleteCriticalSection(&guard_);
}

void CReadWriteLock::AcquireShared() {
  EnterCriticalSection(&guard_);
  if (waiting_writers_ < 1 && state_ >= 0) {
    ++state_;
    LeaveCriticalSection(&guard_);
    return;
  }
  ++waiting_readers_;
  LeaveCriticalSection(&guard_);
  // The releasing thread has already counted this reader into state_.
  WaitForSingleObject(reader_semaphore_, INFINITE);
}

void CReadWriteLock::AcquireExclusive() {
  EnterCriticalSection(&guard_);
  if (state_ == 0) {
    state_ = -1;
    LeaveCriticalSection(&guard_);
    return;
  }
  ++waiting_writers_;
  LeaveCriticalSection(&guard_);
  WaitForSingleObject(writer_semaphore_, INFINITE);
}

void CReadWriteLock::Release() {
  HANDLE wake = nullptr;
  LONG count = 0;
  EnterCriticalSection(&guard_);
  if (state_ < 1) {
    ++state_;  // a writer releasing: -1 → 0
  } else {
    --state_;
  }
  if (state_ == 0) {
    if (waiting_writers_ >= 1) {
      state_ = -1;
      --waiting_writers_;
      wake = writer_semaphore_;
      count = 1;
    } else if (waiting_readers_ > 0) {
      state_ = static_cast<LONG>(waiting_readers_);
      count = static_cast<LONG>(waiting_readers_);
      waiting_readers_ = 0;
      wake = reader_semaphore_;
    }
  }
  LeaveCriticalSection(&guard_);
  if (wake) ReleaseSemaphore(wake, count, nullptr);
}

DWORD CReadWriteLock::waiting_readers_for_testing() {
  EnterCriticalSection(&guard_);
  DWORD n = waiting_readers_;
  LeaveCriticalSection(&guard_);
  return n;
}

DWORD CReadWriteLock::waiting_writers_for_testing() {
  EnterCriticalSection(&guard_);
  DWORD n = waiting_writers_;
  LeaveCriticalSection(&guard_);
  return n;
}

}  // namespace base
