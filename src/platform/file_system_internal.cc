#include "platform/file_system_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/strings.h"
#include "platform/win32.h"

namespace halcy::file_internal {

bool ListDirectory(const std::string& native_dir, std::vector<std::string>* names) {
  DIR* dir = ::opendir(native_dir.c_str());
  if (!dir) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    return false;
  }
  // readdir is safe on a stream that only this call uses (readdir_r is deprecated).
  while (const struct dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies the bytes of `in` to `out`; false with errno set on failure.
bool CopyBytes(int in, int out) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, buffer, static_cast<size_t>(n))) return false;
  }
}

}  // namespace

bool CopyRegularFile(const std::string& source, const std::string& target) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return FailWithErrno();
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::string temp = target + ".copy-XXXXXX";
  int out = ::mkstemp(temp.data());
  if (out < 0) {
    const int error = errno;
    ::close(in);
    SetLastError(error == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error));
    return false;
  }
  bool ok = CopyBytes(in, out) && ::fchmod(out, st.st_mode & 07777) == 0;
  const int error = errno;
  ::close(in);
  ok = ::close(out) == 0 && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  const int final_error = ok ? errno : error;
  ::unlink(temp.c_str());
  SetLastError(final_error == EISDIR ? ERROR_ACCESS_DENIED : ErrorFromErrno(final_error));
  return false;
}

namespace {

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool MatchFrom(std::u16string_view name, std::u16string_view mask) {
  size_t n = 0, m = 0;
  size_t star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == u'?' || FoldAscii(mask[m]) == FoldAscii(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == u'*') {
      star = m++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == u'*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesWildcard(std::u16string_view name, std::u16string_view mask) {
  // Windows keeps the 8.3 meaning of "*.*": it matches names without a dot too.
  if (mask == u"*.*" || mask == u"*") return true;
  return MatchFrom(name, mask);
}

}  // namespace halcy::file_internal
