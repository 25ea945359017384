// Helpers shared by the file-system stand-ins (file_system.cc, find_file.cc, shell.cc): errno to
// Win32 errors, stat data to Win32 data, directory listings and whole-file copies.
// Not part of the platform's interface. Pure functions: safe from any thread.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace halcy::file_internal {

DWORD ErrorFromErrno(int error);
// Sets the last error from errno and returns FALSE.
BOOL FailWithErrno();

FILETIME ToFileTime(const struct timespec& t);
DWORD AttributesOf(const struct stat& st);
// Fills the attribute, time and size fields that WIN32_FILE_ATTRIBUTE_DATA and
// WIN32_FIND_DATAW share. The creation time is the status-change time.
template <class Data>
void FillFileData(const struct stat& st, Data* data) {
  data->dwFileAttributes = AttributesOf(st);
  data->ftCreationTime = ToFileTime(st.st_ctim);
  data->ftLastAccessTime = ToFileTime(st.st_atim);
  data->ftLastWriteTime = ToFileTime(st.st_mtim);
  const uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

// stat() of a Windows-style path; false with the last error set.
bool StatPath(LPCWSTR path, struct stat* st);

// The names in `native_dir` without "." and "..", in byte order; false with the last error set
// when the directory cannot be read.
bool ListDirectory(const std::string& native_dir, std::vector<std::string>* names);

// Copies a regular file's bytes and permission bits to `target`, through a temporary file in
// the target's directory that is renamed into place. False with the last error set.
bool CopyRegularFile(const std::string& source, const std::string& target);

// True when `name` matches the Windows wildcard `mask` ("*", "?"; "*.*" matches every name),
// ignoring ASCII case.
bool MatchesWildcard(std::u16string_view name, std::u16string_view mask);

}  // namespace halcy::file_internal
