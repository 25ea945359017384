// Test helper: one packet taken from a completion port, with the thread's last error when the
// dequeue failed. Used from the thread that takes the packet.
#pragma once

#include "platform/iocp.h"
#include "platform/win32.h"

namespace platform_test {

struct Packet {
  BOOL ok;
  DWORD error;
  DWORD bytes;
  ULONG_PTR key;
  OVERLAPPED* overlapped;
};

inline Packet TakePacket(HANDLE port, DWORD timeout_ms) {
  Packet p{FALSE, 0, 0, 0, nullptr};
  p.ok = GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.overlapped, timeout_ms);
  p.error = p.ok ? 0 : GetLastError();
  return p;
}

}  // namespace platform_test
