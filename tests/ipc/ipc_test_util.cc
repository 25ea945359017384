#include "ipc/ipc_test_util.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/named_pipe.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "thread/message_loop.h"

namespace ipc_test {

RecordingListener::RecordingListener(Thread::CMessageLoop* loop)
    : loop_(loop ? loop->proxy() : nullptr) {}

void RecordingListener::OnMessageReceived(const IPC::CMessage& message) {
  std::function<void(const IPC::CMessage&)> fn;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({message.type(), message.routing_id(), message.flags(), PayloadOf(message),
                         GetCurrentThreadId()});
    fn = on_message_;
  }
  cv_.notify_all();
  if (fn) fn(message);
}

void RecordingListener::OnChannelConnected(int32_t peer_pid) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_.push_back(peer_pid);
  }
  cv_.notify_all();
}

void RecordingListener::OnChannelError() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++errors_;
  }
  cv_.notify_all();
}

void RecordingListener::GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) {
  *proxy = loop_.get();
  if (*proxy) (*proxy)->AddRef();
}

void RecordingListener::set_on_message(std::function<void(const IPC::CMessage&)> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_message_ = std::move(fn);
}

std::vector<Received> RecordingListener::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<int32_t> RecordingListener::connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

int RecordingListener::errors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

bool RecordingListener::WaitUntil(const std::function<bool()>& pred,
                                  std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, pred);
}

std::u16string UniqueChannelId() {
  static std::atomic<int> counter{0};
  return halcy::Utf8ToUtf16("ipctest." + std::to_string(getpid()) + "." +
                            std::to_string(++counter));
}

std::string WireBytes(const IPC::CMessage& message) {
  return std::string(message.data(), message.size());
}

std::string PayloadOf(const IPC::CMessage& message) {
  return std::string(message.data() + message.header_size(), message.payload_size());
}

namespace {

bool FillAddress(const std::u16string& channel_id, sockaddr_un* address) {
  const std::string path = halcy::PipePathForName(channel_id);
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (path.empty()) return false;
  path.copy(address->sun_path, sizeof(address->sun_path) - 1);
  return true;
}

}  // namespace

int RawConnect(const std::u16string& channel_id) {
  sockaddr_un address;
  if (!FillAddress(channel_id, &address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int RawListen(const std::u16string& channel_id) {
  sockaddr_un address;
  if (!FillAddress(channel_id, &address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 1)) {
    close(fd);
    return -1;
  }
  return fd;
}

int RawAccept(int listen_fd) { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); }

bool RawWriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RawReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  size_t done = 0;
  while (done < n) {
    ssize_t got = recv(fd, out.data() + done, n - done, 0);
    if (got <= 0) return std::string();
    done += static_cast<size_t>(got);
  }
  return out;
}

bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace ipc_test
