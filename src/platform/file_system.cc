#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "platform/file_system_internal.h"
#include "platform/pending_file_operations.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace halcy {

std::string ToNativePath(std::u16string_view path) {
  std::string native = Utf16ToUtf8(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

namespace file_internal {

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_ACCESS_DENIED;  // EACCES, EPERM, EISDIR, EROFS, EBUSY and the rest
  }
}

BOOL FailWithErrno() {
  SetLastError(ErrorFromErrno(errno));
  return FALSE;
}

FILETIME ToFileTime(const struct timespec& t) {
  const int64_t ticks =
      static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100 + kFileTimeUnixEpoch;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ft;
}

DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return FILE_ATTRIBUTE_READONLY;
  return FILE_ATTRIBUTE_NORMAL;
}

bool StatPath(LPCWSTR path, struct stat* st) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (::stat(ToNativePath(path).c_str(), st) != 0) {
    // A missing parent reads as "path not found", a missing last component as "not found".
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                                     : ErrorFromErrno(errno));
    return false;
  }
  return true;
}

}  // namespace file_internal

namespace {

std::mutex g_observer_mutex;
CreateDirectoryObserver& Observer() {
  static auto* observer = new CreateDirectoryObserver();
  return *observer;
}

}  // namespace

void SetCreateDirectoryObserverForTesting(CreateDirectoryObserver observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  Observer() = std::move(observer);
}

void NotifyCreateDirectory(std::u16string_view path, bool virtualised) {
  CreateDirectoryObserver observer;
  {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    observer = Observer();
  }
  if (observer) observer(path, virtualised);
}

ReadOnlyFile::~ReadOnlyFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool ReadOnlyFile::Open(std::u16string_view path) {
  if (fd_ >= 0) ::close(fd_);
  // Non-blocking, so that a FIFO or device planted under a file's name is refused below
  // instead of hanging the open; regular files ignore the flag.
  fd_ = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) return file_internal::FailWithErrno();
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    SetLastError(ERROR_ACCESS_DENIED);  // opening a directory as a file is refused on Windows
    return false;
  }
  return true;
}

bool ReadOnlyFile::GetSize(uint64_t* size) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadOnlyFile::Read(void* buffer, DWORD size, DWORD* read) {
  *read = 0;
  ssize_t n;
  do {
    n = ::read(fd_, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return file_internal::FailWithErrno();
  *read = static_cast<DWORD>(n);
  return true;
}

bool ReadOnlyFile::ReadExactly(void* buffer, uint64_t size) {
  auto* bytes = static_cast<char*>(buffer);
  uint64_t done = 0;
  while (done < size) {
    const uint64_t chunk = size - done < (1u << 30) ? size - done : (1u << 30);
    DWORD read = 0;
    if (!Read(bytes + done, static_cast<DWORD>(chunk), &read)) return false;
    if (read == 0) {
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    done += read;
  }
  return true;
}

bool ResolveFileInDirectory(std::u16string_view directory, std::u16string_view file,
                            std::string* resolved) {
  char directory_path[PATH_MAX], file_path[PATH_MAX];
  if (!::realpath(ToNativePath(directory).c_str(), directory_path) ||
      !::realpath(ToNativePath(file).c_str(), file_path)) {
    return false;
  }
  struct stat st;
  if (::stat(directory_path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (::stat(file_path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string prefix(directory_path);
  if (prefix.back() != '/') prefix += '/';
  const std::string candidate(file_path);
  if (candidate.compare(0, prefix.size(), prefix) != 0) return false;
  *resolved = candidate;
  return true;
}

}  // namespace halcy

using halcy::ToNativePath;
using halcy::file_internal::FailWithErrno;

DWORD GetFileAttributesW(LPCWSTR path) {
  struct stat st;
  if (!halcy::file_internal::StatPath(path, &st)) return INVALID_FILE_ATTRIBUTES;
  return halcy::file_internal::AttributesOf(st);
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, void* info) {
  if (level != GetFileExInfoStandard || !info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (!halcy::file_internal::StatPath(path, &st)) return FALSE;
  halcy::file_internal::FillFileData(st, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info));
  return TRUE;
}

BOOL halcy::CreateDirectoryUnobserved(LPCWSTR path, void* /*security_attributes*/) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::mkdir(ToNativePath(path).c_str(), 0777) == 0) return TRUE;
  if (errno == ENOENT) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return FailWithErrno();
}

BOOL CreateDirectoryW(LPCWSTR path, void* security_attributes) {
  if (path) halcy::NotifyCreateDirectory(path, false);
  return halcy::CreateDirectoryUnobserved(path, security_attributes);
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::rmdir(ToNativePath(path).c_str()) == 0) return TRUE;
  if (errno == ENOTDIR) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  return FailWithErrno();
}

BOOL DeleteFileW(LPCWSTR path) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string native = ToNativePath(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(native.c_str()) == 0) return TRUE;
  return FailWithErrno();
}

BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL fail_if_exists) {
  if (!from || !to) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (fail_if_exists && GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_FILE_EXISTS);
    return FALSE;
  }
  return halcy::file_internal::CopyRegularFile(ToNativePath(from), ToNativePath(to)) ? TRUE : FALSE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (!from) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (to) {  // only deletions are scheduled here
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    return halcy::QueuePendingFileDeletion(from) ? TRUE : FALSE;
  }
  if (!to) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string source = ToNativePath(from);
  const std::string target = ToNativePath(to);
  struct stat st;
  if (!(flags & MOVEFILE_REPLACE_EXISTING) && ::lstat(target.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::rename(source.c_str(), target.c_str()) == 0) return TRUE;
  if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED)) {
    if (!halcy::file_internal::CopyRegularFile(source, target)) return FALSE;
    if (::unlink(source.c_str()) == 0) return TRUE;
  }
  return FailWithErrno();
}

BOOL PathFileExistsW(LPCWSTR path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}
