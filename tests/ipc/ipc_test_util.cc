#include "ipc/ipc_test_util.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/named_pipe.h"
#include "platform/strings.h"

namespace ipc_test {

bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::u16string UniqueChannelId() {
  static std::atomic<int> counter{0};
  return halcy::Utf8ToUtf16("ipctest." + std::to_string(getpid()) + "." +
                            std::to_string(++counter));
}

int RawConnect(const std::u16string& channel_id) {
  const std::string path = halcy::PipePathForName(channel_id);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return -1;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{std::chrono::seconds(kWaitLimit).count(), 0};  // reads never hang a test
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

bool RawWriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RawReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  for (size_t done = 0; done < n;) {
    ssize_t got = recv(fd, out.data() + done, n - done, 0);
    if (got <= 0) return std::string();
    done += static_cast<size_t>(got);
  }
  return out;
}

}  // namespace ipc_test
