// Durable file writing for the browser's own data files (the extension store, the cache store,
// the statistics log): whole-file replacement that a crash can never leave half done, appends
// of whole lines, and moving a damaged file aside under a timestamped name.
//
// Paths are native (UTF-8, "/" separators); callers convert Windows-style paths with
// halcy::ToNativePath. Thread-safe: the functions keep no state; callers serialise writes to
// one file themselves.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Writes `bytes` to a new temporary file beside `path`, flushes it to the disk (fsync), renames
// it over `path` and flushes the directory. A crash at any moment leaves either the old file or
// the new one. False (and `path` untouched) on any failure; errno tells why.
bool ReplaceFileDurably(const std::string& path, std::string_view bytes);

// Deletes temporary files that ReplaceFileDurably left beside `path` when its process was
// killed mid-write ("<path>.tmp-XXXXXX"). For the file's one owner, at open. Returns how many
// it deleted.
int RemoveStaleTemporaries(const std::string& path);

// Appends `bytes` to `path` (created with mode 0644 when missing) with one write in append
// mode, so that lines written by several writers never interleave. No fsync: a line survives
// the writer's crash but not necessarily a power loss. False on failure.
bool AppendToFile(const std::string& path, std::string_view bytes);

// What ReadFileBytes found at a path.
enum class ReadResult { kRead, kMissing, kRefused };

// Reads the whole regular file at `path` (a symlink to one is followed). kMissing when nothing
// is there. kRefused when it is not a regular file or cannot be read, with `problem` saying
// why in words that follow the path ("is a directory", "is a FIFO", "cannot be read:
// Permission denied"). Never blocks: a FIFO or device is refused without being opened for
// reading data.
ReadResult ReadFileBytes(const std::string& path, std::string* bytes, std::string* problem);

// Renames `path` to "<path>.<label>-YYYYMMDD-HHMMSS" (local time; "-2", "-3", ... appended
// when that name is taken) and returns the new name, or "" when the rename failed.
std::string MoveAside(const std::string& path, std::string_view label);

}  // namespace host
