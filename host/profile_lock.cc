#include "host/profile_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace host {
namespace {

constexpr char kLockFileName[] = "profile.lock";
constexpr std::chrono::milliseconds kRetryInterval{20};

// The holder's process id as it wrote it, or "unknown" while it has not written it yet.
std::string HolderOf(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof(text) - 1, 0);
  std::string holder(text, n > 0 ? static_cast<size_t>(n) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
  return holder.empty() ? "unknown" : holder;
}

void WriteHolder(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  // A failure here only costs the waiter the holder's name; the lock itself is held.
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
}

}  // namespace

CProfileLock::~CProfileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor ends the flock
}

bool CProfileLock::Acquire(const std::string& directory, std::chrono::milliseconds limit,
                           std::string* error) {
  std::error_code made;
  std::filesystem::create_directories(directory, made);
  const std::string path = directory + "/" + kLockFileName;
  // O_NOFOLLOW and O_NONBLOCK: a symlink or FIFO planted under the lock's name is refused
  // rather than followed or waited on.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot lock the profile " + directory + ": " +
             (fd < 0 ? std::strerror(errno) : "profile.lock is not a regular file");
    if (fd >= 0) ::close(fd);
    return false;
  }
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = "cannot lock the profile " + directory + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (std::chrono::steady_clock::now() >= give_up) {
      *error = "the profile " + directory + " is in use by process " + HolderOf(fd);
      ::close(fd);
      return false;
    }
    // flock has no timed wait; a short poll keeps the bound without a helper thread.
    std::this_thread::sleep_for(kRetryInterval);
  }
  WriteHolder(fd);
  fd_ = fd;
  return true;
}

}  // namespace host
