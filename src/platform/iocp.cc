#include "platform/iocp.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "platform/win32.h"

namespace halcy {
namespace {

constexpr int kMaxEventsPerPoll = 16;

DWORD ErrnoToWin32(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                                               : ERROR_INVALID_PARAMETER;
}

// Milliseconds left until `deadline`, rounded up, for epoll_wait (-1 waits without limit).
int RemainingMs(bool infinite, std::chrono::steady_clock::time_point deadline) {
  if (infinite) return -1;
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

}  // namespace

CompletionPort* CompletionPort::Create() {
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) {
    SetLastError(ErrnoToWin32(errno));
    return nullptr;
  }
  int event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = event_fd;
  if (event_fd < 0 || epoll_ctl(epoll_fd, EPOLL_CTL_ADD, event_fd, &ev) != 0) {
    SetLastError(ErrnoToWin32(errno));
    if (event_fd >= 0) close(event_fd);
    close(epoll_fd);
    return nullptr;
  }
  return new CompletionPort(epoll_fd, event_fd);
}

CompletionPort::CompletionPort(int epoll_fd, int event_fd)
    : epoll_fd_(epoll_fd), event_fd_(event_fd) {}

CompletionPort::~CompletionPort() {
  close(event_fd_);
  close(epoll_fd_);
}

void CompletionPort::OnHandleClosed() {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    wake = sleepers_ > 0;
  }
  if (wake) WakeOneWaiter();
}

void CompletionPort::WakeOneWaiter() {
  uint64_t one = 1;
  // The eventfd only fails to take a count when it is saturated, which still wakes a waiter.
  [[maybe_unused]] ssize_t written = write(event_fd_, &one, sizeof(one));
}

void CompletionPort::Post(const CompletionPacket& packet) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(packet);
    // A waiter that is not asleep yet sees the packet before it sleeps; only a sleeping one
    // needs the eventfd, and only once until it has drained it.
    if (sleepers_ > 0 && !signaled_) {
      signaled_ = true;
      wake = true;
    }
  }
  if (wake) WakeOneWaiter();
}

bool CompletionPort::TakePacketLocked(CompletionPacket* packet, bool* wake_next) {
  if (packets_.empty()) return false;
  *packet = packets_.front();
  packets_.pop_front();
  // Several waiters may share one eventfd signal; pass it on while packets remain.
  *wake_next = !packets_.empty() && sleepers_ > 0 && !signaled_;
  if (*wake_next) signaled_ = true;
  return true;
}

DWORD CompletionPort::Wait(DWORD timeout_ms, CompletionPacket* packet) {
  const bool infinite = timeout_ms == INFINITE;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms);
  bool polled = false;
  for (;;) {
    int wait_ms = RemainingMs(infinite, deadline);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bool wake_next = false;
      if (TakePacketLocked(packet, &wake_next)) {
        if (wake_next) WakeOneWaiter();
        return ERROR_SUCCESS;
      }
      if (closed_) return ERROR_ABANDONED_WAIT_0;
      // A zero wait with no descriptors to poll needs no system call.
      if (wait_ms == 0 && (polled || watchers_.empty())) return WAIT_TIMEOUT;
      // Counted before the lock is left, so that a post from now on writes the eventfd.
      if (wait_ms != 0) ++sleepers_;
    }
    PollOnce(wait_ms);
    polled = true;
  }
}

void CompletionPort::PollOnce(int timeout_ms) {
  epoll_event events[kMaxEventsPerPoll];
  int n = epoll_wait(epoll_fd_, events, kMaxEventsPerPoll, timeout_ms);
  if (timeout_ms != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    --sleepers_;
  }
  for (int i = 0; i < n; ++i) Dispatch(events[i].data.fd, events[i].events);
  // n < 0 is EINTR: the caller loops and recomputes the time left.
}

void CompletionPort::Dispatch(int fd, uint32_t events) {
  if (fd == event_fd_) {
    uint64_t count = 0;
    // Drain first, then clear the flag: a post in between finds the flag still set and skips
    // the write, and our caller looks at the queue again before sleeping.
    [[maybe_unused]] ssize_t got = read(event_fd_, &count, sizeof(count));
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = false;
    return;
  }
  FdWatcher* watcher = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = watchers_.find(fd);
    if (it != watchers_.end()) watcher = it->second;
  }
  // Looked up per event: a callback earlier in this batch may have removed this descriptor.
  if (watcher) watcher->OnFdReady(fd, events);
}

bool CompletionPort::WatchFd(int fd, uint32_t epoll_events, FdWatcher* watcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  epoll_event ev{};
  ev.events = epoll_events;
  ev.data.fd = fd;
  bool known = watchers_.count(fd) != 0;
  if (epoll_ctl(epoll_fd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return false;
  }
  watchers_[fd] = watcher;
  return true;
}

void CompletionPort::UnwatchFd(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watchers_.erase(fd) != 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

}  // namespace halcy

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key,
                              DWORD /*concurrent_threads: one waiting thread per port here*/) {
  using halcy::CompletionPort;
  using halcy::KernelRef;
  if (file == INVALID_HANDLE_VALUE) {
    if (existing_port) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    CompletionPort* port = CompletionPort::Create();
    return port ? halcy::InsertHandle(port) : nullptr;
  }
  KernelRef<halcy::KernelObject> object = halcy::LookUpKernelObject(file);
  if (!object) return nullptr;
  if (dynamic_cast<CompletionPort*>(object.get())) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a port cannot complete on another port
    return nullptr;
  }
  HANDLE port_handle = existing_port;
  KernelRef<CompletionPort> port;
  if (existing_port) {
    port = halcy::LookUpHandle<CompletionPort>(existing_port);
    if (!port) return nullptr;
  } else {
    port = KernelRef<CompletionPort>(CompletionPort::Create());
    if (!port) return nullptr;
    port->AddRef();  // one reference for the handle table, one for `port`
    port_handle = halcy::InsertHandle(port.get());
  }
  if (!object->AssociateCompletionPort(port.get(), key)) {
    if (!existing_port) CloseHandle(port_handle);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return port_handle;
}

BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** overlapped,
                               DWORD timeout_ms) {
  if (overlapped) *overlapped = nullptr;
  halcy::KernelRef<halcy::CompletionPort> p = halcy::LookUpHandle<halcy::CompletionPort>(port);
  if (!p) return FALSE;
  halcy::CompletionPacket packet{};
  DWORD result = p->Wait(timeout_ms, &packet);
  if (result != ERROR_SUCCESS) {
    SetLastError(result);
    return FALSE;
  }
  if (bytes) *bytes = packet.bytes;
  if (key) *key = packet.key;
  if (overlapped) *overlapped = packet.overlapped;
  if (packet.error != ERROR_SUCCESS) {
    SetLastError(packet.error);
    return FALSE;
  }
  return TRUE;
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped) {
  halcy::KernelRef<halcy::CompletionPort> p = halcy::LookUpHandle<halcy::CompletionPort>(port);
  if (!p) return FALSE;
  p->Post({bytes, key, overlapped, ERROR_SUCCESS});
  return TRUE;
}
