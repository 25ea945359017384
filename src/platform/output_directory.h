// A directory that files are written into from untrusted names (a package being unpacked).
// The directory is opened once; every directory and file below it is created relative to its
// descriptor, one component at a time, with O_NOFOLLOW: a symbolic link planted anywhere below
// it, or under the file's own name, is never followed. A file that already exists is unlinked
// and created anew, so neither a link nor a hard link to a file elsewhere is written through.
//
// Components are checked by the caller (no "..", "." or empty component); they are checked here
// again and refused, so a mistake upstream cannot leave the directory.
//
//   halcy::OutputDirectory out;
//   if (out.Open(u"/tmp/unpacked")) {
//     halcy::OutputFile file = out.CreateFile({u"img", u"icon.png"});
//     if (file.valid() && file.Write(data, size)) file.Finish(access, write, false);
//   }
//
// Not thread-safe: one thread uses an OutputDirectory and its files at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halcy {

// A new regular file below an OutputDirectory, open for writing. Closed on destruction.
class OutputFile {
 public:
  explicit OutputFile(int fd = -1) : fd_(fd) {}
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool valid() const { return fd_ >= 0; }
  // Writes all of `data`; false on any failure (disk full, I/O error).
  bool Write(const void* data, size_t size);
  // Sets the access and write times (FILETIME values: 100 ns units since 1601-01-01 UTC), drops
  // the write permissions when `read_only`, and closes the file. False when closing failed.
  bool Finish(int64_t access_time, int64_t write_time, bool read_only);

 private:
  int fd_;
};

class OutputDirectory {
 public:
  OutputDirectory() = default;
  ~OutputDirectory();
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;

  // Opens `path` ("/" or "\" separators), creating the missing levels first. The path itself is
  // the caller's and may pass links; nothing below it will.
  bool Open(std::u16string_view path);

  // Creates each missing directory of `components` below the directory. False when a component
  // is invalid, exists as something other than a directory, or cannot be created.
  bool CreateDirectories(const std::vector<std::u16string>& components) const;

  // Creates the file named by the last of `components`, creating the directories before it.
  // Returns an invalid OutputFile on failure.
  OutputFile CreateFile(const std::vector<std::u16string>& components) const;

 private:
  // A descriptor for the directory made of the first `count` components (created when missing),
  // or -1. The caller closes it.
  int OpenDirectories(const std::vector<std::u16string>& components, size_t count) const;

  int fd_ = -1;  // Constant after Open.
};

// True for a component that may name an entry below a directory: not empty, ".", "..", without
// a separator, a drive colon, NUL or another control character.
bool IsSafeComponent(std::u16string_view component);

}  // namespace halcy
