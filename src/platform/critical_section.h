// Critical sections: recursive locks with a spin phase, as kernel32 offers them.
//
//   CRITICAL_SECTION cs;
//   if (!InitializeCriticalSectionAndSpinCount(&cs, 2000)) { /* last error says why */ }
//   EnterCriticalSection(&cs);
//   LeaveCriticalSection(&cs);
//   DeleteCriticalSection(&cs);
//
// The owning thread may enter again; each Enter needs its Leave. Before it blocks, Enter
// looks at the lock up to `spin_count` times (a plain read each, so that a short hold by
// another thread costs microseconds, not a sleep and a wake-up) and takes it as soon as it is
// free. Thread-safe in the usual sense of a lock: any thread may enter; only the owner leaves;
// initialisation and deletion happen while no thread uses it.
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/win_types.h"

struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
  DWORD spin_count;
  std::atomic<DWORD> owner;  // system thread id of the owner, 0 when free
  DWORD recursion;           // written by the owner only
};

// FALSE with the last error set when the lock cannot be made.
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
