#include "platform/shell_file_operation.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/file_system_internal.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace {

enum class Kind { kFile, kDirectory, kSkipped };

struct Item {
  std::string path;  // native
  std::string name;
  Kind kind;
  bool from_wildcard;
};

// Files are copied and deleted; directories walked; a link to a directory is left alone.
Kind KindOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Kind::kSkipped;
  if (S_ISDIR(st.st_mode)) return Kind::kDirectory;
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Kind::kSkipped;
  }
  return Kind::kFile;
}

int LastErrorResult() {
  const DWORD error = GetLastError();
  return error ? static_cast<int>(error) : static_cast<int>(ERROR_ACCESS_DENIED);
}

std::string JoinNative(const std::string& dir, const std::string& name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

// Expands one source of `pFrom` into items: 0, 2 (named item missing) or 0x402 (no directory).
int ExpandSource(std::u16string_view spec, std::vector<Item>* items) {
  const size_t cut = spec.find_last_of(u"\\/");
  std::string dir(cut == std::u16string_view::npos ? std::string_view(".") : std::string_view());
  if (cut != std::u16string_view::npos) dir = halcy::ToNativePath(spec.substr(0, cut));
  if (dir.empty()) dir.push_back('/');
  const std::u16string mask(cut == std::u16string_view::npos ? spec : spec.substr(cut + 1));
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DE_ERROR_MAX;
  if (mask.find_first_of(u"*?") == std::u16string::npos) {
    const std::string name = halcy::Utf16ToUtf8(mask);
    const std::string path = JoinNative(dir, name);
    if (mask.empty() || ::lstat(path.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    items->push_back({path, name, KindOf(path), false});
    return 0;
  }
  std::vector<std::string> names;
  if (!halcy::file_internal::ListDirectory(dir, &names)) return LastErrorResult();
  for (const std::string& name : names) {
    if (!halcy::file_internal::MatchesWildcard(halcy::Utf8ToUtf16(name), mask)) continue;
    const std::string path = JoinNative(dir, name);
    items->push_back({path, name, KindOf(path), true});
  }
  return 0;
}

int ExpandSources(LPCWSTR from, std::vector<Item>* items, int* named) {
  *named = 0;
  for (const char16_t* p = from; *p;) {
    const std::u16string_view spec(p);
    if (int result = ExpandSource(spec, items)) return result;
    ++*named;
    p += spec.size() + 1;
  }
  return 0;
}

// Removes a directory's files and, when `recursive`, its subdirectories; then the directory.
bool RemoveTree(const std::string& dir, bool recursive) {
  std::vector<std::string> names;
  if (!halcy::file_internal::ListDirectory(dir, &names)) return false;
  for (const std::string& name : names) {
    const std::string path = JoinNative(dir, name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (recursive && !RemoveTree(path, true)) return false;
    } else if (::unlink(path.c_str()) != 0) {
      return halcy::file_internal::FailWithErrno();
    }
  }
  if (::rmdir(dir.c_str()) != 0) return halcy::file_internal::FailWithErrno();
  return true;
}

int DeleteItems(const std::vector<Item>& items, WORD flags) {
  for (const Item& item : items) {
    bool ok = true;
    if (item.kind == Kind::kDirectory) {
      if (item.from_wildcard && (flags & FOF_FILESONLY)) continue;
      ok = RemoveTree(item.path, !(flags & FOF_NORECURSION));
    } else if (::unlink(item.path.c_str()) != 0) {
      ok = halcy::file_internal::FailWithErrno();
    }
    if (!ok) return LastErrorResult();
  }
  return 0;
}

bool MakeDirectories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  return halcy::file_internal::FailWithErrno();
}

// The target's path with its existing parent resolved, to compare against a source's realpath.
std::string ResolvedTarget(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : target.substr(0, slash);
  char resolved[PATH_MAX];
  if (!::realpath(parent.empty() ? "/" : parent.c_str(), resolved)) return target;
  return JoinNative(resolved, target.substr(slash == std::string::npos ? 0 : slash + 1));
}

bool IsInsideTree(const std::string& source, const std::string& target) {
  char resolved[PATH_MAX];
  if (!::realpath(source.c_str(), resolved)) return false;
  const std::string root = resolved;
  const std::string dest = ResolvedTarget(target);
  return dest == root || dest.compare(0, root.size() + 1, root + "/") == 0;
}

bool CopyTree(const std::string& source, const std::string& target, bool recursive) {
  if (!MakeDirectories(target)) return false;
  std::vector<std::string> names;
  if (!halcy::file_internal::ListDirectory(source, &names)) return false;
  for (const std::string& name : names) {
    const std::string from = JoinNative(source, name);
    const std::string to = JoinNative(target, name);
    switch (KindOf(from)) {
      case Kind::kDirectory:
        if (recursive && !CopyTree(from, to, true)) return false;
        break;
      case Kind::kFile:
        if (!halcy::file_internal::CopyRegularFile(from, to)) return false;
        break;
      case Kind::kSkipped:
        break;
    }
  }
  return true;
}

int CopyItem(const Item& item, const std::string& target, WORD flags) {
  if (item.kind == Kind::kSkipped) return 0;
  if (item.kind == Kind::kFile) {
    return halcy::file_internal::CopyRegularFile(item.path, target) ? 0 : LastErrorResult();
  }
  if (item.from_wildcard && (flags & FOF_FILESONLY)) return 0;
  if (IsInsideTree(item.path, target)) return DE_DESTSUBTREE;
  return CopyTree(item.path, target, !(flags & FOF_NORECURSION)) ? 0 : LastErrorResult();
}

int CopyItems(const std::vector<Item>& items, int named, LPCWSTR to, WORD flags) {
  std::string dest = halcy::ToNativePath(to);
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  struct stat st;
  const bool dest_is_dir = ::stat(dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!dest_is_dir && named == 1 && items.size() == 1 && !items[0].from_wildcard) {
    const size_t slash = dest.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dest.substr(0, slash))) {
      return LastErrorResult();
    }
    return CopyItem(items[0], dest, flags);
  }
  if (items.empty()) return 0;
  if (!dest_is_dir && !MakeDirectories(dest)) return LastErrorResult();
  for (const Item& item : items) {
    if (int result = CopyItem(item, JoinNative(dest, item.name), flags)) return result;
  }
  return 0;
}

}  // namespace

int SHFileOperationW(SHFILEOPSTRUCTW* operation) {
  if (!operation || !operation->pFrom) return ERROR_INVALID_PARAMETER;
  operation->fAnyOperationsAborted = FALSE;
  if (operation->wFunc != FO_DELETE && operation->wFunc != FO_COPY) return ERROR_NOT_SUPPORTED;
  if (operation->wFunc == FO_COPY &&
      (!operation->pTo || (operation->fFlags & FOF_MULTIDESTFILES))) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<Item> items;
  int named = 0;
  if (int result = ExpandSources(operation->pFrom, &items, &named)) return result;
  if (operation->wFunc == FO_DELETE) return DeleteItems(items, operation->fFlags);
  return CopyItems(items, named, operation->pTo, operation->fFlags);
}
