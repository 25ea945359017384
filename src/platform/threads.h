// Thread and process identity. A system thread id is the Linux thread id (gettid), so it
// matches what debuggers and /proc show; a process id is the Linux pid.
// Safe from any thread.
#pragma once

#include "platform/win_types.h"

DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
