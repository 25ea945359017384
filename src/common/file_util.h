// Small file routines of the module: reading a whole file, a file's size and time, and deleting
// or copying through the shell's file operation, plus scheduling a directory for deletion at
// the next start.
//
// Paths are Windows-style ("%s\\%s"); either separator works. Paths of 260 characters or more
// are refused by DeletePath and CopyPath, as the shell operation would refuse them.
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Logic {

// The file's bytes followed by one zero byte (so an empty file gives a buffer holding just the
// zero), or null when the file cannot be opened or read in full. `size`, when given, receives
// the number of bytes read (without the zero).
std::unique_ptr<char[]> ReadWholeFile(const std::u16string& path, size_t* size = nullptr);

struct FileInfo {
  int64_t size = 0;
  bool is_directory = false;
  int64_t last_write_time = 0;  // microseconds since 1601-01-01 UTC
};
bool GetFileInfo(const std::u16string& path, FileInfo* info);

// Deletes a file or directory. Without `recursive` a file or an empty directory is removed
// directly; failing that, the shell removes the directory's files but no subdirectory (and the
// directory itself only if that empties it). With `recursive` the shell removes the whole tree.
// A path that does not exist counts as deleted.
bool DeletePath(const std::u16string& path, bool recursive);

// Copies through the shell. With `recursive`, everything inside `source` is copied into
// `destination` (created when missing). Without it, the files directly inside `source` are
// copied into an existing `destination`; when `destination` does not exist yet, `source`
// itself (a file, or a directory with its files) is copied to that name.
bool CopyPath(const std::u16string& source, const std::u16string& destination, bool recursive);

// Schedules the files of `directory` (and with `recursive` its subdirectories, depth first),
// then the directory itself, for deletion at the next start (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT). Entries whose names start with "." are left out.
void DeleteDirectoryAtReboot(const std::u16string& directory, bool recursive);

}  // namespace Logic
