#include "platform/output_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/strings.h"

namespace halcy {
namespace {

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in FILETIME units

timespec ToTimespec(int64_t file_time) {
  const int64_t since_epoch = file_time - kFileTimeUnixEpoch;
  int64_t seconds = since_epoch / 10000000;
  int64_t rest = since_epoch % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  timespec spec{};
  spec.tv_sec = static_cast<time_t>(seconds);
  spec.tv_nsec = static_cast<long>(rest * 100);
  return spec;
}

// Opens `name` below `parent` as a directory, creating it when missing; never follows a link.
int OpenOrMakeDirectory(int parent, const std::string& name) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(parent, name.c_str(), flags);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Another writer may create it between the two calls; EEXIST then is no failure.
  if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  return ::openat(parent, name.c_str(), flags);
}

}  // namespace

bool IsSafeComponent(std::u16string_view component) {
  if (component.empty() || component == u"." || component == u"..") return false;
  for (char16_t c : component) {
    if (c < 0x20 || c == 0x7f || c == u'/' || c == u'\\' || c == u':') return false;
  }
  return true;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool OutputFile::Write(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool OutputFile::Finish(int64_t access_time, int64_t write_time, bool read_only) {
  if (fd_ < 0) return false;
  const timespec times[2] = {ToTimespec(access_time), ToTimespec(write_time)};
  // Times and mode are best effort, as on a file system that keeps neither: the data is what
  // counts, and it is complete by now.
  (void)::futimens(fd_, times);
  struct stat status {};
  if (read_only && ::fstat(fd_, &status) == 0) (void)::fchmod(fd_, status.st_mode & ~0222);
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

OutputDirectory::~OutputDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputDirectory::Open(std::u16string_view path) {
  const std::string native = ToNativePath(path);
  if (native.empty() || fd_ >= 0) return false;
  for (size_t slash = native.find('/', 1); slash != std::string::npos;
       slash = native.find('/', slash + 1)) {
    // Missing levels above the destination; one that exists (or fails) shows at the open below.
    (void)::mkdir(native.substr(0, slash).c_str(), 0777);
  }
  (void)::mkdir(native.c_str(), 0777);
  fd_ = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd_ >= 0;
}

int OutputDirectory::OpenDirectories(const std::vector<std::u16string>& components,
                                     size_t count) const {
  if (fd_ < 0) return -1;
  int current = ::dup(fd_);
  for (size_t i = 0; i < count && current >= 0; ++i) {
    const int next = IsSafeComponent(components[i])
                         ? OpenOrMakeDirectory(current, Utf16ToUtf8(components[i]))
                         : -1;
    ::close(current);
    current = next;
  }
  return current;
}

bool OutputDirectory::CreateDirectories(const std::vector<std::u16string>& components) const {
  const int fd = OpenDirectories(components, components.size());
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

OutputFile OutputDirectory::CreateFile(const std::vector<std::u16string>& components) const {
  if (components.empty() || !IsSafeComponent(components.back())) return OutputFile();
  const int parent = OpenDirectories(components, components.size() - 1);
  if (parent < 0) return OutputFile();
  const std::string name = Utf16ToUtf8(components.back());
  // Replace whatever non-directory holds the name (a link is removed, not followed); a
  // directory makes unlinkat fail with EISDIR and the create below fail too.
  (void)::unlinkat(parent, name.c_str(), 0);
  const int fd =
      ::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  ::close(parent);
  return OutputFile(fd);
}

}  // namespace halcy
