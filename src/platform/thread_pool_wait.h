// Thread-pool waits: RegisterWaitForSingleObject runs a callback on a wait thread when an
// object is signalled (or its time-out passes); UnregisterWaitEx ends the registration.
//
//   HANDLE wait = nullptr;
//   RegisterWaitForSingleObject(&wait, event, &OnSignaled, context, INFINITE,
//                               WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE);
//   ...
//   UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);  // returns once no callback runs or will
//
// Each registration has its own wait thread. Without WT_EXECUTEONLYONCE the callback runs
// again each time the object is signalled. A registration holds a reference on the object, so
// the object's handle may be closed meanwhile.
//
// Thread-safe: register and unregister from any thread. The callback runs on the wait thread;
// unregistering from inside the callback with INVALID_HANDLE_VALUE does not wait for itself.
#pragma once

#include <cstdint>

#include "platform/kernel_object.h"
#include "platform/win_types.h"

using BOOLEAN = uint8_t;
using WAITORTIMERCALLBACK = void (*)(void* context, BOOLEAN timer_or_wait_fired);

constexpr ULONG WT_EXECUTEDEFAULT = 0x0;
constexpr ULONG WT_EXECUTEINWAITTHREAD = 0x4;
constexpr ULONG WT_EXECUTEONLYONCE = 0x8;

// FALSE with the last error set when `object` is not a waitable handle or no thread can be
// started.
BOOL RegisterWaitForSingleObject(HANDLE* new_wait_object, HANDLE object,
                                 WAITORTIMERCALLBACK callback, void* context, ULONG timeout_ms,
                                 ULONG flags);

// `completion_event`: INVALID_HANDLE_VALUE waits for a running callback to return; null does
// not wait (FALSE with ERROR_IO_PENDING when a callback is running); an event handle is set
// once no callback runs any more. In every case no callback starts after the call.
BOOL UnregisterWaitEx(HANDLE wait_handle, HANDLE completion_event);
