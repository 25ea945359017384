#include "platform/named_pipe.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>

#include "platform/file_io.h"
#include "platform/iocp.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace halcy {
namespace {

constexpr DWORD kErrorPipeListening = 536;
constexpr uint32_t kWatchedEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The pipe behind a HANDLE. Its overlapped operations finish in OnFdReady, which the port's
// waiting thread runs when a socket is ready; `mutex_` keeps CancelIo from another thread
// safe against that.
class NamedPipe final : public ReadWriteObject, public FdWatcher {
 public:
  NamedPipe(int listen_fd, int connected_fd, std::string path)
      : server_(listen_fd >= 0), listen_fd_(listen_fd), fd_(connected_fd), path_(std::move(path)) {}

  BOOL Connect(OVERLAPPED* overlapped);
  BOOL ClientProcessId(ULONG* pid);
  BOOL Read(void* buffer, DWORD size, DWORD* bytes_read, OVERLAPPED* overlapped) override;
  BOOL Write(const void* data, DWORD size, DWORD* bytes_written, OVERLAPPED* overlapped) override;
  BOOL Cancel() override;
  void OnFdReady(int fd, uint32_t events) override;

 private:
  struct PendingRead {
    OVERLAPPED* overlapped = nullptr;
    char* buffer = nullptr;
    DWORD size = 0;
  };
  struct PendingWrite {
    OVERLAPPED* overlapped = nullptr;
    const char* data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
  };

  ~NamedPipe() override;
  void OnHandleClosed() override;

  // Each REQUIRES: mutex_ held.
  BOOL FailWith(DWORD error);
  bool Watch(int fd);
  void Unwatch(int fd);
  void AdoptConnection(int fd);
  void CancelLocked();
  void TryFinishConnect();
  void TryFinishRead();
  void TryFinishWrite();
  void Complete(OVERLAPPED** pending, DWORD bytes, DWORD error);

  const bool server_;  // Constant after construction
  std::mutex mutex_;
  int listen_fd_;             // Guarded by mutex_: the server's socket until a client connects
  int fd_;                    // Guarded by mutex_: the connected socket
  std::string path_;          // Guarded by mutex_: the server's name, removed once connected
  bool peer_closed_ = false;  // Guarded by mutex_
  bool closed_ = false;       // Guarded by mutex_
  KernelRef<CompletionPort> port_;  // Guarded by mutex_: where our sockets are watched
  bool listen_watched_ = false;     // Guarded by mutex_
  bool fd_watched_ = false;         // Guarded by mutex_
  OVERLAPPED* connect_ = nullptr;   // Guarded by mutex_
  PendingRead read_;                // Guarded by mutex_
  PendingWrite write_;              // Guarded by mutex_
};

NamedPipe::~NamedPipe() {
  if (listen_fd_ >= 0) close(listen_fd_);
  if (fd_ >= 0) close(fd_);
}

BOOL NamedPipe::FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool NamedPipe::Watch(int fd) {
  bool& watched = fd == listen_fd_ ? listen_watched_ : fd_watched_;
  if (watched) return true;
  if (!port_) port_ = KernelRef<CompletionPort>(AcquireCompletionPort(nullptr));
  if (!port_) return false;
  watched = port_->WatchFd(fd, kWatchedEvents, this);
  return watched;
}

void NamedPipe::Unwatch(int fd) {
  bool& watched = fd == listen_fd_ ? listen_watched_ : fd_watched_;
  if (watched && port_) port_->UnwatchFd(fd);
  watched = false;
}

void NamedPipe::AdoptConnection(int fd) {
  Unwatch(listen_fd_);
  close(listen_fd_);
  listen_fd_ = -1;
  // One instance: once a client is in, the name is gone and later clients find no pipe.
  unlink(path_.c_str());
  path_.clear();
  fd_ = fd;
}

void NamedPipe::Complete(OVERLAPPED** pending, DWORD bytes, DWORD error) {
  OVERLAPPED* overlapped = *pending;
  *pending = nullptr;
  PostCompletion(this, bytes, overlapped, error);
}

BOOL NamedPipe::Connect(OVERLAPPED* overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return FailWith(ERROR_INVALID_HANDLE);
  if (!server_) return FailWith(ERROR_INVALID_PARAMETER);
  if (listen_fd_ < 0) return FailWith(ERROR_PIPE_CONNECTED);
  if (connect_ || !overlapped) return FailWith(ERROR_INVALID_PARAMETER);
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    AdoptConnection(fd);
    return FailWith(ERROR_PIPE_CONNECTED);
  }
  if (!WouldBlock(errno)) return FailWith(ERROR_BAD_PIPE);
  if (!Watch(listen_fd_)) return FailWith(ERROR_INVALID_PARAMETER);
  connect_ = overlapped;
  return FailWith(ERROR_IO_PENDING);
}

BOOL NamedPipe::ClientProcessId(ULONG* pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return FailWith(ERROR_INVALID_HANDLE);
  if (!server_ || !pid) return FailWith(ERROR_INVALID_PARAMETER);
  if (fd_ < 0) return FailWith(ERROR_PIPE_NOT_CONNECTED);
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid <= 0) {
    return FailWith(ERROR_PIPE_NOT_CONNECTED);
  }
  *pid = static_cast<ULONG>(credentials.pid);
  return TRUE;
}

BOOL NamedPipe::Read(void* buffer, DWORD size, DWORD* bytes_read, OVERLAPPED* overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes_read) *bytes_read = 0;
  if (closed_) return FailWith(ERROR_INVALID_HANDLE);
  if (fd_ < 0) return FailWith(kErrorPipeListening);
  if (read_.overlapped || !overlapped || size == 0) return FailWith(ERROR_INVALID_PARAMETER);
  if (peer_closed_) return FailWith(ERROR_BROKEN_PIPE);
  if (!Watch(fd_)) return FailWith(ERROR_INVALID_PARAMETER);
  ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
  if (n > 0) {
    if (bytes_read) *bytes_read = static_cast<DWORD>(n);
    // As on an overlapped handle, a read that finished at once still queues its completion.
    PostCompletion(this, static_cast<DWORD>(n), overlapped, ERROR_SUCCESS);
    return TRUE;
  }
  if (n < 0 && WouldBlock(errno)) {
    read_ = {overlapped, static_cast<char*>(buffer), size};
    return FailWith(ERROR_IO_PENDING);
  }
  peer_closed_ = true;  // end of stream, or a reset connection
  return FailWith(ERROR_BROKEN_PIPE);
}

BOOL NamedPipe::Write(const void* data, DWORD size, DWORD* bytes_written, OVERLAPPED* overlapped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes_written) *bytes_written = 0;
  if (closed_) return FailWith(ERROR_INVALID_HANDLE);
  if (fd_ < 0) return FailWith(kErrorPipeListening);
  if (write_.overlapped || !overlapped) return FailWith(ERROR_INVALID_PARAMETER);
  if (!Watch(fd_)) return FailWith(ERROR_INVALID_PARAMETER);
  ssize_t n = size == 0 ? 0 : send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n == static_cast<ssize_t>(size)) {
    if (bytes_written) *bytes_written = size;
    PostCompletion(this, size, overlapped, ERROR_SUCCESS);
    return TRUE;
  }
  if (n >= 0 || WouldBlock(errno)) {
    write_ = {overlapped, static_cast<const char*>(data), size, static_cast<DWORD>(n > 0 ? n : 0)};
    return FailWith(ERROR_IO_PENDING);
  }
  return FailWith(ERROR_NO_DATA);  // the other end is closed
}

void NamedPipe::TryFinishConnect() {
  if (!connect_ || listen_fd_ < 0) return;
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    AdoptConnection(fd);
    Complete(&connect_, 0, ERROR_SUCCESS);
  } else if (!WouldBlock(errno) && errno != ECONNABORTED && errno != EINTR) {
    Complete(&connect_, 0, ERROR_BAD_PIPE);
  }
}

void NamedPipe::TryFinishRead() {
  if (!read_.overlapped) return;
  ssize_t n = recv(fd_, read_.buffer, read_.size, MSG_DONTWAIT);
  if (n < 0 && (WouldBlock(errno) || errno == EINTR)) return;
  if (n > 0) {
    Complete(&read_.overlapped, static_cast<DWORD>(n), ERROR_SUCCESS);
    return;
  }
  // The peer closed (or reset) the pipe: a zero-byte completion with the broken-pipe error.
  peer_closed_ = true;
  Complete(&read_.overlapped, 0, ERROR_BROKEN_PIPE);
}

void NamedPipe::TryFinishWrite() {
  while (write_.overlapped && write_.done < write_.size) {
    ssize_t n = send(fd_, write_.data + write_.done, write_.size - write_.done,
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (WouldBlock(errno) || errno == EINTR) return;
      Complete(&write_.overlapped, 0, ERROR_NO_DATA);
      return;
    }
    write_.done += static_cast<DWORD>(n);
  }
  if (write_.overlapped) Complete(&write_.overlapped, write_.size, ERROR_SUCCESS);
}

void NamedPipe::OnFdReady(int fd, uint32_t /*events: every pending operation is just tried*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  if (fd == listen_fd_) {
    TryFinishConnect();
  } else if (fd == fd_) {
    TryFinishRead();
    TryFinishWrite();
  }
}

void NamedPipe::CancelLocked() {
  if (connect_) Complete(&connect_, 0, ERROR_OPERATION_ABORTED);
  if (read_.overlapped) Complete(&read_.overlapped, 0, ERROR_OPERATION_ABORTED);
  if (write_.overlapped) Complete(&write_.overlapped, 0, ERROR_OPERATION_ABORTED);
}

BOOL NamedPipe::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  CancelLocked();
  return TRUE;
}

void NamedPipe::OnHandleClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  CancelLocked();
  if (listen_fd_ >= 0) {
    Unwatch(listen_fd_);
    close(listen_fd_);
    listen_fd_ = -1;
    unlink(path_.c_str());
  }
  if (fd_ >= 0) {
    Unwatch(fd_);
    close(fd_);
    fd_ = -1;
  }
  closed_ = true;
  port_ = KernelRef<CompletionPort>();
}

// Fills a socket address for `path`; false when it does not fit.
bool MakeAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
  path.copy(address->sun_path, path.size());
  return true;
}

bool IsPrivateDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 0777) == 0700;
}

}  // namespace

std::string PipeDirectory() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  std::string dir = runtime && *runtime ? std::string(runtime) + "/halcy-pipes"
                                        : "/tmp/halcy-pipes-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "";
  // A directory made by someone else, or opened up later, is not ours to put pipes in.
  return IsPrivateDirectory(dir) ? dir : "";
}

std::string PipePathForName(std::u16string_view name) {
  if (name.substr(0, kPipePrefix.size()) == kPipePrefix) name.remove_prefix(kPipePrefix.size());
  if (name.empty() || name == u"." || name == u"..") return "";
  for (char16_t c : name) {
    if (c == u'/' || c == u'\\' || c == 0) return "";
  }
  std::string dir = PipeDirectory();
  if (dir.empty()) return "";
  std::string path = dir + "/" + Utf16ToUtf8(name);
  return path.size() < sizeof(sockaddr_un::sun_path) ? path : "";
}

namespace {

// A non-blocking socket and the address of the pipe `name`; -1 with the last error set when
// the name or the directory does not do, or no socket can be had.
int SocketForName(std::u16string_view name, std::string* path, sockaddr_un* address) {
  *path = PipePathForName(name);
  if (!MakeAddress(*path, address)) {
    SetLastError(PipeDirectory().empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return fd;
}

}  // namespace

HANDLE CreatePipeServer(std::u16string_view name) {
  std::string path;
  sockaddr_un address;
  int fd = SocketForName(name, &path, &address);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 1) != 0) {
    // An existing name belongs to another server (ids are unique per launch, so a leftover is
    // not taken over: probing it would be seen as a client by a live server).
    const int error = errno;
    close(fd);
    SetLastError(error == EADDRINUSE ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  return InsertHandle(new NamedPipe(fd, -1, path));
}

HANDLE OpenPipeClient(std::u16string_view name) {
  std::string path;
  sockaddr_un address;
  int fd = SocketForName(name, &path, &address);
  if (fd < 0) return nullptr;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    close(fd);
    SetLastError(WouldBlock(error) ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return InsertHandle(new NamedPipe(-1, fd, std::string()));
}

}  // namespace halcy

BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped) {
  auto p = halcy::LookUpHandle<halcy::NamedPipe>(pipe);
  return p ? p->Connect(overlapped) : FALSE;
}

BOOL GetNamedPipeClientProcessId(HANDLE pipe, ULONG* client_process_id) {
  auto p = halcy::LookUpHandle<halcy::NamedPipe>(pipe);
  return p ? p->ClientProcessId(client_process_id) : FALSE;
}
