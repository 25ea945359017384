#include "host/durable_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace host {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// Makes the rename itself durable; a failure here is ignored on purpose (the file is complete
// and in place, only its directory entry may not have reached the disk yet).
void SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string DescribeFileType(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO";
  if (S_ISCHR(mode)) return "is a character device";
  if (S_ISBLK(mode)) return "is a block device";
  if (S_ISSOCK(mode)) return "is a socket";
  return "is not a regular file";
}

}  // namespace

bool ReplaceFileDurably(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  const int saved = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
    SyncDirectory(DirectoryOf(path));
    return true;
  }
  const int error = ok ? errno : saved;
  ::unlink(temp.c_str());
  errno = error;
  return false;
}

int RemoveStaleTemporaries(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const size_t cut = path.find_last_of('/');
  const std::string prefix = (cut == std::string::npos ? path : path.substr(cut + 1)) + ".tmp-";
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        ::unlink((directory + "/" + name).c_str()) == 0) {
      ++removed;
    }
  }
  ::closedir(dir);
  return removed;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write call: O_APPEND places it atomically at the end for regular files.
  const ssize_t n = ::write(fd, bytes.data(), bytes.size());
  const bool ok = n == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return ok;
}

ReadResult ReadFileBytes(const std::string& path, std::string* bytes, std::string* problem) {
  bytes->clear();
  problem->clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    struct stat st;
    if (error == ENOENT && ::lstat(path.c_str(), &st) != 0) return ReadResult::kMissing;
    *problem = std::string("cannot be read: ") + std::strerror(error);
    return ReadResult::kRefused;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *problem = std::string("cannot be read: ") + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *problem = DescribeFileType(st.st_mode);
  }
  if (!problem->empty()) {
    ::close(fd);
    return ReadResult::kRefused;
  }
  bytes->reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *problem = std::string("cannot be read: ") + std::strerror(errno);
    if (n <= 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (problem->empty()) return ReadResult::kRead;
  bytes->clear();
  return ReadResult::kRefused;
}

std::string MoveAside(const std::string& path, std::string_view label) {
  const std::time_t now = std::time(nullptr);
  std::tm local;
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
  const std::string base = path + "." + std::string(label) + "-" + stamp;
  std::string target = base;
  for (int n = 2; Exists(target); ++n) target = base + "-" + std::to_string(n);
  if (::rename(path.c_str(), target.c_str()) != 0) return "";
  SyncDirectory(DirectoryOf(path));
  return target;
}

}  // namespace host
