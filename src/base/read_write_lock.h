// `base::CReadWriteLock`: a writer-preferring reader-writer lock over a critical section and
// two semaphores.
//
//   base::CReadWriteLock rw;
//   rw.AcquireShared();     // many readers at once
//   rw.Release();
//   rw.AcquireExclusive();  // one writer, no readers
//   rw.Release();
//
// A waiting writer goes before readers that arrive after it; when a writer leaves, one waiting
// writer is let in if there is one, else every waiting reader at once. Not recursive: a
// thread holding the lock must not acquire it again. Any thread may use it.
#pragma once

#include "platform/critical_section.h"
#include "platform/win_types.h"

namespace base {

// Readers share the lock, a writer holds it alone, and a waiting writer goes before readers
// that arrive after it. `guard` is never held while a thread blocks.
class CReadWriteLock {
 public:
  CReadWriteLock();
  ~CReadWriteLock();
  CReadWriteLock(const CReadWriteLock&) = delete;
  CReadWriteLock& operator=(const CReadWriteLock&) = delete;

  void AcquireShared();
  void AcquireExclusive();
  // Ends either mode.
  void Release();

  // Threads blocked in AcquireShared / AcquireExclusive, for tests.
  DWORD waiting_readers_for_testing();
  DWORD waiting_writers_for_testing();

 private:
  CRITICAL_SECTION guard_;
  LONG state_ = 0;             // readers when > 0, -1 while a writer holds it; guarded by guard_
  DWORD waiting_readers_ = 0;  // guarded by guard_
  DWORD waiting_writers_ = 0;  // guarded by guard_
  // Constant after construction
  HANDLE reader_semaphore_;
  HANDLE writer_semaphore_;
};

}  // namespace base
