// The ini-file functions over a small line model: the file's lines are kept as they are, so a
// write changes only the line it sets (or the lines it deletes) and leaves comments, blank
// lines and the spelling of other names alone.

#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace {

constexpr std::u16string_view kBlanks = u" \t";

std::u16string_view Trim(std::u16string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::u16string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && halcy::AsciiToLower(a) == halcy::AsciiToLower(b);
}

// The section name of a "[name]" line.
std::optional<std::u16string_view> SectionName(std::u16string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != u'[') return std::nullopt;
  const size_t close = line.find(u']');
  if (close == std::u16string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// The key and value of a "key=value" line; nothing for comments and other lines.
bool SplitKeyLine(std::u16string_view line, std::u16string_view* key, std::u16string_view* value) {
  const std::u16string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == u';' || trimmed.front() == u'[') return false;
  const size_t eq = trimmed.find(u'=');
  if (eq == std::u16string_view::npos) return false;
  *key = Trim(trimmed.substr(0, eq));
  *value = Trim(trimmed.substr(eq + 1));
  return true;
}

std::u16string_view Unquote(std::u16string_view value) {
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

struct IniFile {
  std::vector<std::u16string> lines;

  // The index of the first "[section]" line, or lines.size().
  size_t FindSection(std::u16string_view section) const {
    for (size_t i = 0; i < lines.size(); ++i) {
      std::optional<std::u16string_view> name = SectionName(lines[i]);
      if (name && SameName(*name, section)) return i;
    }
    return lines.size();
  }
  // One past the last line of the section whose header is at `header`.
  size_t SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines.size() && !SectionName(lines[i])) ++i;
    return i;
  }
  // The index of the first line of `key` in the section at `header`, or lines.size().
  size_t FindKey(size_t header, std::u16string_view key) const {
    const size_t end = SectionEnd(header);
    for (size_t i = header + 1; i < end; ++i) {
      std::u16string_view name, value;
      if (SplitKeyLine(lines[i], &name, &value) && SameName(name, key)) return i;
    }
    return lines.size();
  }
};

// Reads the file into `file`; false (last error set) when it cannot be read. A missing file
// reads as empty with ERROR_FILE_NOT_FOUND.
bool ReadIni(LPCWSTR file_name, IniFile* file) {
  const std::string path = halcy::ToNativePath(file_name ? file_name : u"");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return false;
  }
  std::string bytes;
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  if (n < 0) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);
  const std::u16string text = halcy::Utf8ToUtf16(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    file->lines.push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

// Replaces the file with `file`'s lines through a temporary file and a rename.
bool WriteIni(LPCWSTR file_name, const IniFile& file) {
  std::u16string text;
  for (const std::u16string& line : file.lines) {
    text += line;
    text += u"\r\n";
  }
  const std::string bytes = halcy::Utf16ToUtf8(text);
  const std::string path = halcy::ToNativePath(file_name);
  std::string temp = path + ".ini-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return false;
  }
  bool ok = ::fchmod(fd, 0644) == 0;
  size_t written = 0;
  while (ok && written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  SetLastError(ERROR_WRITE_FAULT);
  return false;
}

// Writes `items` as a NUL-separated list closed by a second NUL, cut to `size`.
DWORD CopyList(const std::vector<std::u16string>& items, LPWSTR buffer, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    buffer[0] = 0;
    return 0;
  }
  DWORD used = 0;
  for (const std::u16string& item : items) {
    if (used + item.size() + 1 > size - 1) {
      // Cut: as much of the item as fits, then the two closing NULs.
      const DWORD room = used >= size - 2 ? 0 : size - 2 - used;
      std::copy_n(item.begin(), room, buffer + used);
      buffer[size - 2] = 0;
      buffer[size - 1] = 0;
      return size - 2;
    }
    std::copy(item.begin(), item.end(), buffer + used);
    used += static_cast<DWORD>(item.size());
    buffer[used++] = 0;
  }
  buffer[used] = 0;
  return used;
}

DWORD CopyValue(std::u16string_view value, LPWSTR buffer, DWORD size) {
  if (size == 0) return 0;
  const DWORD count = std::min<DWORD>(static_cast<DWORD>(value.size()), size - 1);
  std::copy_n(value.begin(), count, buffer);
  buffer[count] = 0;
  return count;
}

std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR default_value, LPWSTR buffer,
                               DWORD size, LPCWSTR file_name) {
  if (!buffer || size == 0) return 0;
  IniFile file;
  const bool read = ReadIni(file_name, &file);
  if (!section) {
    std::vector<std::u16string> names;
    for (const std::u16string& line : file.lines) {
      if (std::optional<std::u16string_view> name = SectionName(line)) names.emplace_back(*name);
    }
    return CopyList(names, buffer, size);
  }
  const size_t header = read ? file.FindSection(section) : file.lines.size();
  if (!key) {
    std::vector<std::u16string> names;
    if (header < file.lines.size()) {
      const size_t end = file.SectionEnd(header);
      for (size_t i = header + 1; i < end; ++i) {
        std::u16string_view name, value;
        if (SplitKeyLine(file.lines[i], &name, &value)) names.emplace_back(name);
      }
    }
    return CopyList(names, buffer, size);
  }
  if (header < file.lines.size()) {
    const size_t line = file.FindKey(header, key);
    if (line < file.lines.size()) {
      std::u16string_view name, value;
      SplitKeyLine(file.lines[line], &name, &value);
      return CopyValue(Unquote(value), buffer, size);
    }
  }
  std::u16string_view fallback = default_value ? default_value : u"";
  const size_t last = fallback.find_last_not_of(u' ');
  fallback =
      last == std::u16string_view::npos ? std::u16string_view() : fallback.substr(0, last + 1);
  return CopyValue(fallback, buffer, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT default_value, LPCWSTR file_name) {
  if (!section || !key) return static_cast<UINT>(default_value);
  IniFile file;
  if (!ReadIni(file_name, &file)) return static_cast<UINT>(default_value);
  const size_t header = file.FindSection(section);
  if (header == file.lines.size()) return static_cast<UINT>(default_value);
  const size_t line = file.FindKey(header, key);
  if (line == file.lines.size()) return static_cast<UINT>(default_value);
  std::u16string_view name, value;
  SplitKeyLine(file.lines[line], &name, &value);
  value = Unquote(value);
  if (value.empty()) return static_cast<UINT>(default_value);
  const bool negative = value.front() == u'-';
  int64_t number = 0;
  for (size_t i = negative ? 1 : 0; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i) {
    number = number * 10 + (value[i] - u'0');
    if (number > 0xFFFFFFFFLL) number = 0xFFFFFFFFLL;  // saturate instead of overflowing
  }
  return static_cast<UINT>(negative ? -number : number);
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file_name) {
  if (!section || !file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(WriteMutex());
  IniFile file;
  if (!ReadIni(file_name, &file) && GetLastError() != ERROR_FILE_NOT_FOUND) return FALSE;
  size_t header = file.FindSection(section);
  if (!key) {  // delete the section
    if (header == file.lines.size()) return TRUE;
    file.lines.erase(file.lines.begin() + header, file.lines.begin() + file.SectionEnd(header));
    return WriteIni(file_name, file) ? TRUE : FALSE;
  }
  if (header == file.lines.size()) {
    if (!value) return TRUE;  // nothing to delete
    file.lines.push_back(u"[" + std::u16string(section) + u"]");
  }
  const size_t line = file.FindKey(header, key);
  if (!value) {
    if (line == file.lines.size()) return TRUE;
    file.lines.erase(file.lines.begin() + line);
  } else if (line < file.lines.size()) {
    std::u16string_view name, old_value;
    SplitKeyLine(file.lines[line], &name, &old_value);
    file.lines[line] = std::u16string(name) + u"=" + value;
  } else {
    // After the section's last non-blank line, so that a blank line before the next section
    // stays where it is.
    size_t at = file.SectionEnd(header);
    while (at > header + 1 && Trim(file.lines[at - 1]).empty()) --at;
    file.lines.insert(file.lines.begin() + at, std::u16string(key) + u"=" + value);
  }
  return WriteIni(file_name, file) ? TRUE : FALSE;
}
