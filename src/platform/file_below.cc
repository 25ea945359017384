#include "platform/file_below.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/strings.h"

namespace halcy {
namespace {

class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { Reset(-1); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The components of `relative` split on "/" and "\", in the file system's encoding; false for
// a path that could leave the directory or that names nothing.
bool SplitRelative(std::u16string_view relative, std::vector<std::string>* components) {
  components->clear();
  size_t start = 0;
  while (true) {
    size_t end = start;
    while (end < relative.size() && relative[end] != u'/' && relative[end] != u'\\') ++end;
    const std::u16string_view part = relative.substr(start, end - start);
    if (part.empty() || part == u"." || part == u".." || part.find(u'\0') != part.npos) {
      return false;
    }
    components->push_back(Utf16ToUtf8(part));
    if (end == relative.size()) return true;
    start = end + 1;
  }
}

FileBelow FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:  // a component on the way is a file: nothing by that name below it
      return FileBelow::kMissing;
    case ELOOP:  // O_NOFOLLOW met a link
      return FileBelow::kSymbolicLink;
    default:
      return FileBelow::kFailed;
  }
}

// What `path` below the open directory `at` is, without following a link in its last component.
FileBelow StatusBelow(int at, const char* path, struct stat* st) {
  if (::fstatat(at, path, st, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno);
  if (S_ISLNK(st->st_mode)) return FileBelow::kSymbolicLink;
  if (!S_ISREG(st->st_mode)) return FileBelow::kNotRegularFile;
  return FileBelow::kRegularFile;
}

// Opens each directory component of `components` but the last below the open directory `top`,
// without following a link, and reads the last component's own status. `*at` is left naming the
// directory that contains the last component reached: `top` itself, or the one `*below` owns.
FileBelow WalkFrom(int top, const std::vector<std::string>& components, ScopedFd* below, int* at,
                   std::string* name, struct stat* st) {
  *at = top;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    // O_DIRECTORY makes a FIFO or device on the way fail the lookup before it is opened.
    const int next = ::openat(*at, components[i].c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (next < 0) {
      // With O_DIRECTORY a link may be reported as "not a directory" rather than as a link:
      // look at what is there.
      const int error = errno;
      struct stat link;
      if (::fstatat(*at, components[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(link.st_mode)) {
        return FileBelow::kSymbolicLink;
      }
      return FromErrno(error);
    }
    below->Reset(next);
    *at = next;
  }
  *name = components.back();
  return StatusBelow(*at, name->c_str(), st);
}

int OpenDirectory(std::u16string_view directory) {
  return ::open(ToNativePath(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// WalkFrom below `directory`, which is opened first. On kRegularFile (and on kNotRegularFile and
// kSymbolicLink for the last component) `*parent` holds the directory that contains it and
// `*name` its name.
FileBelow Walk(std::u16string_view directory, std::u16string_view relative, ScopedFd* parent,
               std::string* name, struct stat* st) {
  std::vector<std::string> components;
  if (!SplitRelative(relative, &components)) return FileBelow::kBadPath;
  parent->Reset(OpenDirectory(directory));
  if (parent->get() < 0) return FromErrno(errno);
  ScopedFd below;
  int at = -1;
  const FileBelow found = WalkFrom(parent->get(), components, &below, &at, name, st);
  if (below.get() >= 0) parent->Reset(below.Release());
  return found;
}

}  // namespace

FileBelow ProbeFileBelow(std::u16string_view directory, std::u16string_view relative) {
  ScopedFd parent;
  std::string name;
  struct stat st;
  return Walk(directory, relative, &parent, &name, &st);
}

namespace {
thread_local SiblingDirectoryScope* active_sibling_scope = nullptr;
}  // namespace

SiblingDirectoryScope::SiblingDirectoryScope() {
  if (active_sibling_scope) return;
  active_sibling_scope = this;
  active_ = true;
}

SiblingDirectoryScope::~SiblingDirectoryScope() {
  if (fd_ >= 0) ::close(fd_);
  if (active_) active_sibling_scope = nullptr;
}

bool SiblingDirectoryScope::Probe(std::u16string_view directory, const std::string& name,
                                  FileBelow* found) {
  // Split off the directory's last component. Separators are ASCII, so the split never cuts a
  // character in two, and only that short name is converted for each probe.
  const auto is_separator = [](char16_t c) { return c == u'/' || c == u'\\'; };
  size_t end = directory.size();
  while (end > 1 && is_separator(directory[end - 1])) --end;
  size_t leaf = end;
  while (leaf > 0 && !is_separator(directory[leaf - 1])) --leaf;
  if (leaf == 0 || leaf == end) return false;  // no parent named, or the root itself
  const std::u16string_view parent = directory.substr(0, leaf == 1 ? 1 : leaf - 1);
  if (!tried_ || parent != parent_) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(ToNativePath(parent).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    parent_ = parent;
    tried_ = true;
  }
  if (fd_ < 0) return false;  // a parent that cannot be opened is not tried again for each file
  std::string below = Utf16ToUtf8(directory.substr(leaf, end - leaf));
  below += '/';
  below += name;
  struct stat st;
  *found = StatusBelow(fd_, below.c_str(), &st);
  return true;
}

DirectoryProbe::DirectoryProbe(std::u16string_view directory) : directory_(directory) {}

DirectoryProbe::~DirectoryProbe() {
  if (fd_ >= 0) ::close(fd_);
}

FileBelow DirectoryProbe::Probe(std::u16string_view relative) {
  std::vector<std::string> components;
  if (!SplitRelative(relative, &components)) return FileBelow::kBadPath;
  FileBelow found;
  if (!opened_ && components.size() == 1 && active_sibling_scope &&
      active_sibling_scope->Probe(directory_, components[0], &found)) {
    return found;
  }
  if (!opened_) {
    opened_ = true;
    fd_ = OpenDirectory(directory_);
    open_error_ = fd_ < 0 ? errno : 0;
  }
  if (fd_ < 0) return FromErrno(open_error_);
  ScopedFd below;
  int at = -1;
  std::string name;
  struct stat st;
  return WalkFrom(fd_, components, &below, &at, &name, &st);
}

FileBelow ReadFileBelow(std::u16string_view directory, std::u16string_view relative,
                        uint64_t max_bytes, std::string* bytes) {
  bytes->clear();
  max_bytes = std::min<uint64_t>(max_bytes, std::numeric_limits<size_t>::max() / 2);
  ScopedFd parent;
  std::string name;
  struct stat st;
  FileBelow found = Walk(directory, relative, &parent, &name, &st);
  if (found != FileBelow::kRegularFile) return found;
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return FileBelow::kTooLarge;
  // The name may have been replaced since its status was read: the open refuses a link, and
  // the status of what was opened is checked again. O_NONBLOCK keeps a FIFO swapped in from
  // blocking the open; regular files ignore it.
  ScopedFd file(
      ::openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return FromErrno(errno);
  if (::fstat(file.get(), &st) != 0) return FileBelow::kFailed;
  if (!S_ISREG(st.st_mode)) return FileBelow::kNotRegularFile;
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return FileBelow::kTooLarge;
  // One byte more than allowed is asked for, so that a file that grew is noticed.
  std::string data(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t done = 0;
  while (true) {
    if (done == data.size()) {
      if (done > max_bytes) return FileBelow::kTooLarge;
      data.resize(data.size() + 4096 < max_bytes + 1 ? data.size() + 4096 : max_bytes + 1);
    }
    const ssize_t n = ::read(file.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileBelow::kFailed;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (done > max_bytes) return FileBelow::kTooLarge;
  data.resize(done);
  *bytes = std::move(data);
  return FileBelow::kRegularFile;
}

}  // namespace halcy
