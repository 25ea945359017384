// The I/O completion port: a queue of completion packets that one thread (the IPC thread)
// waits on. Built on an epoll set plus an eventfd: posting a packet to a port with a sleeping
// waiter writes the eventfd; handle types that do real I/O on file descriptors (pipes) add
// their descriptors to the same epoll set, and the waiting thread runs their readiness
// callbacks, which finish the overlapped operations and queue their packets.
//
//   HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
//   CreateIoCompletionPort(pipe, port, reinterpret_cast<ULONG_PTR>(handler), 1);
//   DWORD bytes; ULONG_PTR key; OVERLAPPED* ov;
//   if (!GetQueuedCompletionStatus(port, &bytes, &key, &ov, 100) && !ov) { /* timed out */ }
//
// Results follow Win32: a packet that carries an error makes GetQueuedCompletionStatus return
// FALSE with the packet's overlapped pointer and the error as the last error; a time-out
// returns FALSE with a null overlapped pointer and WAIT_TIMEOUT (258); closing the port's
// handle ends every wait with ERROR_ABANDONED_WAIT_0 (735).
//
// Thread-safe: posting from any thread; waiting from any thread, although the system uses one
// waiting thread per port. Readiness callbacks run on a waiting thread with no lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/kernel_object.h"
#include "platform/win_types.h"

// `file` INVALID_HANDLE_VALUE with `existing_port` null creates a port. Otherwise binds the
// object `file` names to `existing_port` (or to a new port when null) with `key`, and returns
// the port. An object can be bound once. `concurrent_threads` is accepted and not used.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key,
                              DWORD concurrent_threads);
BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** overlapped,
                               DWORD timeout_ms);
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped);

namespace halcy {

struct CompletionPacket {
  DWORD bytes;
  ULONG_PTR key;
  OVERLAPPED* overlapped;
  DWORD error;  // 0 for success
};

// Called on the waiting thread when a watched descriptor is ready.
class FdWatcher {
 public:
  virtual void OnFdReady(int fd, uint32_t epoll_events) = 0;

 protected:
  ~FdWatcher() = default;
};

class CompletionPort final : public KernelObject {
 public:
  // Null when the epoll set or the eventfd cannot be made (the last error says why).
  static CompletionPort* Create();

  void Post(const CompletionPacket& packet);

  // Takes the oldest packet, running readiness callbacks while it waits. Returns ERROR_SUCCESS
  // with `packet` filled, WAIT_TIMEOUT, or ERROR_ABANDONED_WAIT_0 once the handle is closed.
  DWORD Wait(DWORD timeout_ms, CompletionPacket* packet);

  // Adds `fd` to the epoll set (or changes its events) with `watcher`, which must live until
  // UnwatchFd. REQUIRES: no other thread waits on the port, or the caller is the waiting thread.
  bool WatchFd(int fd, uint32_t epoll_events, FdWatcher* watcher);
  void UnwatchFd(int fd);

 private:
  CompletionPort(int epoll_fd, int event_fd);
  ~CompletionPort() override;
  void OnHandleClosed() override;

  // Takes a packet if one is queued; REQUIRES: mutex_ held. Sets `*wake_next` when another
  // waiter should be woken for the packets left.
  bool TakePacketLocked(CompletionPacket* packet, bool* wake_next);
  void WakeOneWaiter();
  // One epoll_wait of at most `timeout_ms` (-1 for none), then the readiness callbacks.
  // REQUIRES: `sleepers_` was counted up for a non-zero wait.
  void PollOnce(int timeout_ms);
  void Dispatch(int fd, uint32_t events);

  // Constant after construction
  const int epoll_fd_;
  const int event_fd_;

  std::mutex mutex_;
  std::deque<CompletionPacket> packets_;          // Guarded by mutex_
  int sleepers_ = 0;                              // Guarded by mutex_: waiters inside epoll_wait
  bool signaled_ = false;                         // Guarded by mutex_: the eventfd holds a count
  bool closed_ = false;                           // Guarded by mutex_
  std::unordered_map<int, FdWatcher*> watchers_;  // Guarded by mutex_
};

}  // namespace halcy
