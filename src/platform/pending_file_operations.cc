#include "platform/pending_file_operations.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/file_system_internal.h"
#include "platform/system_paths.h"
#include "platform/win32.h"

namespace halcy {
namespace {

// Holds an exclusive flock on "<list>.lock" for its lifetime.
class ListLock {
 public:
  explicit ListLock(const std::string& list) {
    fd_ = ::open((list + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ListLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string ReadList(const std::string& list) {
  std::string bytes;
  std::FILE* file = std::fopen(list.c_str(), "rb");
  if (!file) return bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

bool WriteListAtomically(const std::string& list, const std::string& bytes) {
  std::string temp = list + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return file_internal::FailWithErrno();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (ok && ::rename(temp.c_str(), list.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  SetLastError(ERROR_WRITE_FAULT);
  return false;
}

std::vector<std::string> SplitEntries(const std::string& bytes) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\0') continue;
    if (i > start) entries.push_back(bytes.substr(start, i - start));
    start = i + 1;
  }
  return entries;
}

// Deletes one entry as the system does at boot.
bool RemoveEntry(const std::string& native) {
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) ? ::rmdir(native.c_str()) == 0 : ::unlink(native.c_str()) == 0;
}

}  // namespace

std::string PendingFileOperationsPath() {
  const std::string appdata = ApplicationDataFolder();
  if (appdata.empty()) return std::string();
  return appdata + "/halcy/PendingFileRenameOperations";
}

bool QueuePendingFileDeletion(std::u16string_view path) {
  const std::string list = PendingFileOperationsPath();
  if (list.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  ::mkdir(list.substr(0, list.rfind('/')).c_str(), 0700);  // exists already in most cases
  ListLock lock(list);
  if (!lock.locked()) return file_internal::FailWithErrno();
  std::string bytes = ReadList(list);
  bytes += ToNativePath(path);
  bytes.push_back('\0');
  return WriteListAtomically(list, bytes);
}

int RunPendingFileOperations() {
  const std::string list = PendingFileOperationsPath();
  if (list.empty()) return 0;
  ListLock lock(list);
  if (!lock.locked()) return 0;
  int removed = 0;
  for (const std::string& entry : SplitEntries(ReadList(list))) {
    if (RemoveEntry(entry)) ++removed;
  }
  ::unlink(list.c_str());
  return removed;
}

}  // namespace halcy
