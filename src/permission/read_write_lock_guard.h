// Scoped holders of a base::CReadWriteLock in shared or exclusive mode, so that the lock is
// released on every return path. Each holder belongs to the thread that made it.
#pragma once

#include "base/read_write_lock.h"

namespace Logic {

class SharedLockGuard {
 public:
  explicit SharedLockGuard(base::CReadWriteLock& lock) : lock_(lock) { lock_.AcquireShared(); }
  ~SharedLockGuard() { lock_.Release(); }
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;

 private:
  base::CReadWriteLock& lock_;
};

class ExclusiveLockGuard {
 public:
  explicit ExclusiveLockGuard(base::CReadWriteLock& lock) : lock_(lock) {
    lock_.AcquireExclusive();
  }
  ~ExclusiveLockGuard() { lock_.Release(); }
  ExclusiveLockGuard(const ExclusiveLockGuard&) = delete;
  ExclusiveLockGuard& operator=(const ExclusiveLockGuard&) = delete;

 private:
  base::CReadWriteLock& lock_;
};

}  // namespace Logic
