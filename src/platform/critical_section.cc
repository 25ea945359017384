#include "platform/critical_section.h"

#include <errno.h>

#include "platform/threads.h"
#include "platform/win32.h"

namespace {

void TakeOwnership(CRITICAL_SECTION* section, DWORD self) {
  section->owner.store(self, std::memory_order_relaxed);
  section->recursion = 1;
}

}  // namespace

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count) {
  section->spin_count = spin_count;
  section->owner.store(0, std::memory_order_relaxed);
  section->recursion = 0;
  // Recursion is counted here, so the mutex itself is a plain one.
  const int error = pthread_mutex_init(&section->mutex, nullptr);
  if (error != 0) {
    SetLastError(error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  const DWORD self = GetCurrentThreadId();
  // Only this thread can have stored its own id, so a relaxed read decides recursion.
  if (section->owner.load(std::memory_order_relaxed) == self) {
    ++section->recursion;
    return;
  }
  for (DWORD i = 0; i < section->spin_count; ++i) {
    if (section->owner.load(std::memory_order_relaxed) == 0 &&
        pthread_mutex_trylock(&section->mutex) == 0) {
      TakeOwnership(section, self);
      return;
    }
  }
  pthread_mutex_lock(&section->mutex);
  TakeOwnership(section, self);
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  const DWORD self = GetCurrentThreadId();
  if (section->owner.load(std::memory_order_relaxed) == self) {
    ++section->recursion;
    return TRUE;
  }
  if (pthread_mutex_trylock(&section->mutex) != 0) return FALSE;
  TakeOwnership(section, self);
  return TRUE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  if (--section->recursion != 0) return;
  section->owner.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&section->mutex);
}

void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(&section->mutex); }
