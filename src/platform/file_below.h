// Files named relative to a directory that must not be left: an extension's icon or page, as
// its manifest names it. The directory itself is opened as given (links above it are the
// installation's business); every component below it is opened with O_NOFOLLOW, one at a time,
// so a symbolic link anywhere on the way is found instead of followed. Only regular files are
// opened, and never in a way that blocks: a FIFO or a device planted under a file's name is
// refused from its status alone.
//
// `relative` may use "/" and "\" in any mix. An empty path, a leading separator, and an empty,
// "." or ".." component are refused as kBadPath before anything is touched; the callers apply
// their own, stricter rules first.
//
//   std::string bytes;
//   if (halcy::ReadFileBelow(u"C:\\ext\\abc", u"img\\icon.png", 1 << 20, &bytes) ==
//       halcy::FileBelow::kRegularFile) { ... }
//
// Thread-safe: the functions may be called from any thread; a DirectoryProbe is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halcy {

enum class FileBelow {
  kRegularFile,     // a regular file, reached without a link (read in full by ReadFileBelow)
  kMissing,         // the directory, a component or the file does not exist
  kSymbolicLink,    // a component below the directory, or the file itself, is a symbolic link
  kNotRegularFile,  // the file is a directory, FIFO, device or socket
  kTooLarge,        // ReadFileBelow only: the file has more than `max_bytes` bytes
  kBadPath,         // `relative` is empty, absolute, or has an empty, "." or ".." component
  kFailed,          // anything else (access denied, a read error)
};

// What lies at `relative` below `directory`, found without opening the file itself.
FileBelow ProbeFileBelow(std::u16string_view directory, std::u16string_view relative);

// ProbeFileBelow for several paths below one directory, which is opened once (at the first
// probe of a well-formed path) instead of once per path: an extension's icons, say.
//
//   halcy::DirectoryProbe icons(u"C:\\ext\\abc");
//   if (icons.Probe(u"img\\a.png") == halcy::FileBelow::kRegularFile) { ... }
//
// Probe answers as ProbeFileBelow would, except that the directory stays the one opened first.
// While a SiblingDirectoryScope is active on the calling thread (below), a file directly in the
// directory is looked at through the scope's parent instead, and the directory is opened only
// for a deeper path. One thread at a time.
class DirectoryProbe {
 public:
  explicit DirectoryProbe(std::u16string_view directory);
  ~DirectoryProbe();
  DirectoryProbe(const DirectoryProbe&) = delete;
  DirectoryProbe& operator=(const DirectoryProbe&) = delete;

  FileBelow Probe(std::u16string_view relative);

 private:
  const std::u16string directory_;
  bool opened_ = false;
  int fd_ = -1;         // the directory, once opened
  int open_error_ = 0;  // errno of a failed open
};

// While one lives, the DirectoryProbes of its thread share one opened parent directory: a file
// directly in a probe's directory ("icon.png", not "img/icon.png") is then looked at with one
// fstatat of "<directory's name>/<file>" relative to the parent, and the probe's own directory
// is never opened. Made for a pass over many sibling directories, such as every extension's
// icons at start-up, where opening and closing each extension's directory cost more than
// looking at its files. The answers are the ones a probe gives without the scope: the directory
// itself is followed if it is a link, as an open of it would be, and the file is not; only the
// directory is looked up by name at each such probe instead of being held open. Deeper paths
// are probed as without the scope.
//
//   halcy::SiblingDirectoryScope siblings;
//   for (const std::u16string& dir : extension_dirs) halcy::DirectoryProbe(dir).Probe(u"i.png");
//
// One thread; a scope opened while another is active on the thread does nothing.
class SiblingDirectoryScope {
 public:
  SiblingDirectoryScope();
  ~SiblingDirectoryScope();
  SiblingDirectoryScope(const SiblingDirectoryScope&) = delete;
  SiblingDirectoryScope& operator=(const SiblingDirectoryScope&) = delete;

 private:
  friend class DirectoryProbe;
  // The status of `name` (in the file system's encoding) directly in `directory`, reached
  // through the shared parent; false when it cannot be used for that directory (no parent, or
  // it cannot be opened), and the caller probes the usual way.
  bool Probe(std::u16string_view directory, const std::string& name, FileBelow* found);

  bool active_ = false;
  bool tried_ = false;     // whether `parent_` was opened (or failed to open) yet
  std::u16string parent_;  // the path `fd_` was opened from, as the probes name it
  int fd_ = -1;            // -1 when `parent_` could not be opened
};

// Reads the regular file at `relative` below `directory` into `*bytes` when it has at most
// `max_bytes` bytes. `*bytes` is emptied first and holds the content only on kRegularFile; a
// file that is too large is refused from its size before any byte is read (and again if it
// grows while being read).
FileBelow ReadFileBelow(std::u16string_view directory, std::u16string_view relative,
                        uint64_t max_bytes, std::string* bytes);

}  // namespace halcy
