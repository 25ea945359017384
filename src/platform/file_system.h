// Files and directories as kernel32 and shlwapi present them, over the POSIX file system.
//
// Paths are UTF-16 and may use "\" or "/" as separators, in any mix: the module builds them the
// Windows way ("%s\\%s") and every function here maps each "\" to "/" before it touches the
// file system (halcy::ToNativePath). Results are Win32 results: FALSE or
// INVALID_FILE_ATTRIBUTES with the thread's last error set (2 not found, 3 parent missing,
// 5 access denied, 145 directory not empty, 183 already exists).
//
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT and no new name does not delete anything: it
// appends the path to the pending list of platform/pending_file_operations.h, which the browser
// works off at its next start, as Windows works off its list at the next boot.
//
// Thread-safe: every function may be called from any thread. A find handle is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/kernel_object.h"
#include "platform/system_time.h"
#include "platform/win_types.h"

constexpr DWORD MAX_PATH = 260;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x00000002;
constexpr DWORD MOVEFILE_DELAY_UNTIL_REBOOT = 0x00000004;

constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_DIRECTORY = 267;

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

// FILE_ATTRIBUTE_DIRECTORY for a directory, FILE_ATTRIBUTE_NORMAL for a plain file (plus
// FILE_ATTRIBUTE_READONLY when nobody may write it). Symbolic links are followed.
DWORD GetFileAttributesW(LPCWSTR path);
// `info` is a WIN32_FILE_ATTRIBUTE_DATA; the creation time is the status-change time.
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, void* info);
// Creates one directory; its parent must exist (error 3 otherwise, 183 when the path exists).
BOOL CreateDirectoryW(LPCWSTR path, void* security_attributes);
// Removes an empty directory.
BOOL RemoveDirectoryW(LPCWSTR path);
// Removes a file (a directory gives error 5, as on Windows).
BOOL DeleteFileW(LPCWSTR path);
// Copies a file's bytes; the copy is written beside the target and renamed into place.
BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists);
// Renames, or with MOVEFILE_DELAY_UNTIL_REBOOT and a null `to`, schedules `from` for deletion.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);

// Enumerates the directory of `pattern` whose last component may hold "*" and "?" ("*.*" matches
// every name, as on Windows). The entries "." and ".." come first, then the others in name
// order. INVALID_HANDLE_VALUE with error 2 or 3 when nothing matches or the directory is missing.
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
// FALSE with ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);

// shlwapi: TRUE when a file or directory exists at `path`.
BOOL PathFileExistsW(LPCWSTR path);

namespace halcy {

// The UTF-8 file-system path for a Windows-style path: every "\" becomes "/".
std::string ToNativePath(std::u16string_view path);

// The canonical native path of `file` (every symlink and "." or ".." resolved) when it is a
// regular file that lies below `directory` (itself resolved the same way); false otherwise:
// missing, not a regular file, or reaching outside the directory in any way.
bool ResolveFileInDirectory(std::u16string_view directory, std::u16string_view file,
                            std::string* resolved);

// Whole-file access for code that reads a file in one piece (the module's ReadWholeFile).
// Opens an existing regular file for reading; a missing file, a directory, a FIFO or a device
// fails at once (never blocks).
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool Open(std::u16string_view path);
  // The size at the time of the call; false on failure.
  bool GetSize(uint64_t* size) const;
  // Reads up to `size` bytes from the current position; `*read` is 0 at the end of the file.
  bool Read(void* buffer, DWORD size, DWORD* read);
  // Reads exactly `size` bytes; false when the file ends first (it shrank) or a read fails.
  bool ReadExactly(void* buffer, uint64_t size);

 private:
  int fd_ = -1;
};

// Observes every directory creation (CreateDirectoryW and the platform library's variant), so
// that tests can count what a recursive creation really created. `virtualised` is true for the
// variant. Null removes the observer; it is called on the creating thread.
using CreateDirectoryObserver = std::function<void(std::u16string_view path, bool virtualised)>;
void SetCreateDirectoryObserverForTesting(CreateDirectoryObserver observer);
// Called by both creation paths.
void NotifyCreateDirectory(std::u16string_view path, bool virtualised);
// CreateDirectoryW without the observer call, for the platform library's variant.
BOOL CreateDirectoryUnobserved(LPCWSTR path, void* security_attributes);

}  // namespace halcy
