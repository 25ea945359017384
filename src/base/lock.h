// `base::CLock`, a critical section with a spin count of 2000, and its scoped holder
// `base::CAutoLock`.
//
//   base::CLock lock;
//   std::map<int, int> table;  // Guarded by lock
//   {
//     base::CAutoLock hold(lock);
//     table[1] = 2;
//   }
//
// The lock is recursive (the owner may acquire again). Any thread may use it; it is neither
// copied nor moved.
#pragma once

#include "base/thread_annotations.h"
#include "platform/critical_section.h"
#include "platform/win_types.h"

namespace base {

class CAPABILITY("mutex") CLock {
 public:
  CLock();
  ~CLock();
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void Acquire() ACQUIRE();
  void Release() RELEASE();

 private:
  CRITICAL_SECTION section_;
};

class SCOPED_CAPABILITY CAutoLock {
 public:
  explicit CAutoLock(CLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Acquire(); }
  ~CAutoLock() RELEASE() { lock_.Release(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CLock& lock_;
};

}  // namespace base
