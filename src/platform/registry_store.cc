#include "platform/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace halcy::registry_internal {

namespace {

std::string EnvOrEmpty(const char* name) {
  // getenv races only with setenv; the environment is set up before threads start.
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value != nullptr ? value : "";
}

std::string HomeDirectory() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return ".";
}

class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { Reset(); }

  int get() const { return fd_; }
  void Reset(int fd = -1) {
    // close() may fail only for a descriptor that was never valid; nothing to do about it.
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// What tells one version of the file from another. Versions are renamed into place, so each
// has its own inode; the times and size also catch an editor rewriting the file in place.
struct FileId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  mode_t mode = 0;
  timespec mtime{};
  timespec ctime{};

  static FileId Of(const struct stat& st) {
    return FileId{true, st.st_dev, st.st_ino, st.st_size, st.st_mode, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileId& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mode == o.mode &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

bool ReadAll(int fd, std::string* out) {
  char buffer[16384];
  for (off_t offset = 0;;) {
    // pread: the cached descriptor may be shared with a forked child, so no shared offset.
    const ssize_t n = pread(fd, buffer, sizeof(buffer), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p of the directory holding `path`.
bool MakeParentDirectories(const std::string& path) {
  const std::string dir = ParentDirectory(path);
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string prefix = dir.substr(0, pos);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes a completed rename durable. Best effort: the new version is already in place and
// visible; a failure here only matters for a power cut.
void SyncDirectory(const std::string& path) {
  ScopedFd dir(open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
}

// Takes the writers' lock beside the file; an invalid descriptor when it cannot be taken.
ScopedFd LockForWriting(const std::string& path) {
  if (!MakeParentDirectories(path)) return ScopedFd();
  const std::string lock_path = path + ".lock";
  ScopedFd fd(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) return fd;
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ScopedFd();
  }
  return fd;
}

class Store {
 public:
  LONG Read(const std::function<LONG(const RegTree&)>& read) {
    std::lock_guard<std::mutex> lock(mu_);
    const LONG result = Load(ResolveRegistryPath());
    return result != ERROR_SUCCESS ? result : read(tree_);
  }

  LONG Change(const std::function<LONG(RegTree&, bool* changed)>& change) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::string path = ResolveRegistryPath();
    // A file that cannot be used is reported before anything is created beside it.
    LONG result = Load(path);
    if (result != ERROR_SUCCESS) return result;
    // Without the lock the change still runs, so that a call that changes nothing gives its
    // own answer (the key exists, the value is missing) rather than ERROR_CANTWRITE.
    const ScopedFd file_lock = LockForWriting(path);
    result = Load(path);
    if (result != ERROR_SUCCESS) return result;
    bool changed = false;
    result = change(tree_, &changed);
    if (!changed) return result;
    if (file_lock.get() < 0 || !Save(path)) {
      Forget();  // the tree in memory holds a change the file does not
      return ERROR_CANTWRITE;
    }
    return result;
  }

 private:
  // Brings the cached tree up to date with the file at `path`.
  // REQUIRES: mu_ held.
  LONG Load(const std::string& path) {
    if (path != path_) {
      Forget();
      path_ = path;
    }
    // O_NONBLOCK: a FIFO under the registry's name is refused below instead of waited on.
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    FileId id;
    if (fd.get() >= 0) {
      struct stat st;
      if (fstat(fd.get(), &st) != 0) return CannotRead(path, std::strerror(errno));
      if (!S_ISREG(st.st_mode)) {
        return CannotRead(path,
                          S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
      }
      id = FileId::Of(st);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      return CannotRead(path, std::strerror(errno));
    }
    if (valid_ && id == id_) {
      if (corrupt_) return ERROR_REGISTRY_CORRUPT;
      return ERROR_SUCCESS;
    }
    Forget();
    std::string text;
    if (id.exists && !ReadAll(fd.get(), &text)) return CannotRead(path, std::strerror(errno));
    RegTree tree;
    ParseError error;
    const bool parsed = ParseRegistryText(text, &tree, &error);
    valid_ = true;
    id_ = id;
    file_ = std::move(fd);
    if (!parsed) {
      corrupt_ = true;
      std::fprintf(stderr,
                   "halcy registry: %s:%d: %s; the registry is unusable and left unchanged "
                   "until this line is fixed\n",
                   path.c_str(), error.line, error.reason.c_str());
      return ERROR_REGISTRY_CORRUPT;
    }
    tree_ = std::move(tree);
    return ERROR_SUCCESS;
  }

  // Reports once per path and cause that the registry file cannot be read; ERROR_CANTREAD.
  // REQUIRES: mu_ held.
  LONG CannotRead(const std::string& path, const std::string& cause) {
    Forget();
    const std::string problem = path + ": " + cause;
    if (problem != reported_) {
      reported_ = problem;
      std::fprintf(stderr, "halcy registry: cannot read %s; the registry is unusable\n",
                   problem.c_str());
    }
    return ERROR_CANTREAD;
  }

  // Writes tree_ over the file; on failure the file keeps its old contents.
  // REQUIRES: mu_ held, and the writers' file lock.
  bool Save(const std::string& path) {
    const std::string text = FormatRegistryText(tree_);
    std::string temp = path + ".XXXXXX";
    ScopedFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const mode_t mode = id_.exists ? (id_.mode & 07777) : 0600;
    if (fchmod(fd.get(), mode) != 0 || !WriteAll(fd.get(), text) || fsync(fd.get()) != 0 ||
        rename(temp.c_str(), path.c_str()) != 0) {
      unlink(temp.c_str());  // the half-made copy only; a failure leaves a stray temp file
      return false;
    }
    SyncDirectory(path);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
      Forget();  // written, but unknown identity: read it again next time
      return true;
    }
    id_ = FileId::Of(st);
    file_ = std::move(fd);
    valid_ = true;
    corrupt_ = false;
    return true;
  }

  // REQUIRES: mu_ held.
  void Forget() {
    valid_ = false;
    corrupt_ = false;
    id_ = FileId{};
    file_.Reset();
    tree_ = RegTree{};
  }

  std::mutex mu_;
  // Guarded by mu_
  std::string path_;
  bool valid_ = false;    // tree_ and corrupt_ describe the file version id_
  bool corrupt_ = false;  // that version does not parse; tree_ is empty
  std::string reported_;  // the last "path: cause" that CannotRead printed
  FileId id_;
  ScopedFd file_;  // that version, held open so that no later version can reuse its inode
  RegTree tree_;
};

Store& TheStore() {
  // Never destroyed: other threads may still use the registry while the process exits.
  static Store* const store = new Store;
  return *store;
}

}  // namespace

std::string ResolveRegistryPath() {
  std::string path = EnvOrEmpty("HALCY_REGISTRY");
  if (!path.empty()) return path;
  std::string appdata = EnvOrEmpty("HALCY_APPDATA");
  if (appdata.empty()) appdata = EnvOrEmpty("XDG_CONFIG_HOME");
  if (appdata.empty()) appdata = HomeDirectory() + "/.config";
  return appdata + "/halcy/registry.reg";
}

LONG ReadRegistry(const std::function<LONG(const RegTree&)>& read) { return TheStore().Read(read); }

LONG ChangeRegistry(const std::function<LONG(RegTree&, bool* changed)>& change) {
  return TheStore().Change(change);
}

}  // namespace halcy::registry_internal
