#include "platform/critical_section.h"

#include <errno.h>

#include "platform/win32.h"

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count) {
  section->spin_count = spin_count;
  pthread_mutexattr_t attr;
  int error = pthread_mutexattr_init(&attr);
  if (error == 0) error = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (error == 0) error = pthread_mutex_init(&section->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (error != 0) {
    SetLastError(error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  // Short holds are the rule: trying a while first avoids a sleep and a wake-up.
  for (DWORD i = 0; i < section->spin_count; ++i) {
    if (pthread_mutex_trylock(&section->mutex) == 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  pthread_mutex_lock(&section->mutex);
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  return pthread_mutex_trylock(&section->mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_unlock(&section->mutex); }

void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(&section->mutex); }
