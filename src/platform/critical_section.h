// Critical sections: recursive locks with a spin phase, as kernel32 offers them.
//
//   CRITICAL_SECTION cs;
//   if (!InitializeCriticalSectionAndSpinCount(&cs, 2000)) { /* last error says why */ }
//   EnterCriticalSection(&cs);
//   LeaveCriticalSection(&cs);
//   DeleteCriticalSection(&cs);
//
// The owning thread may enter again; each Enter needs its Leave. Before blocking, Enter tries
// the lock `spin_count` times. Thread-safe in the usual sense of a lock: any thread may enter;
// only the owner leaves; initialisation and deletion happen while no thread uses it.
#pragma once

#include <pthread.h>

#include "platform/win_types.h"

struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
  DWORD spin_count;
};

// FALSE with the last error set when the lock cannot be made.
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
