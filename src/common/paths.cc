#include "common/paths.h"

#include <mutex>
#include <optional>

#include "common/encoding.h"
#include "common/log.h"
#include "platform/file_system.h"
#include "platform/hcsafe.h"
#include "platform/hcsafe_file.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/win32.h"

namespace Logic {
namespace {

constexpr DWORD kUserNameChars = 512;

struct PathCaches {
  std::u16string data_root;
  std::optional<std::u16string> account_name;
  std::u16string user_directory;
  std::optional<bool> siblings_present;
};

std::mutex g_cache_mutex;
PathCaches& Caches() {
  static auto* caches = new PathCaches();
  return *caches;
}

std::u16string AccountName() {
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (Caches().account_name) return *Caches().account_name;
  }
  std::u16string name(kUserNameChars, u'\0');
  DWORD size = kUserNameChars;
  if (!GetUserNameW(name.data(), &size)) {
    name.clear();
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      name.assign(size, u'\0');
      if (!GetUserNameW(name.data(), &size)) size = 0;
    } else {
      size = 0;
    }
  }
  name.resize(size > 0 ? size - 1 : 0);  // `size` counts the NUL
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  Caches().account_name = name;
  return name;
}

std::u16string UserDataDirectory(const std::u16string& root, std::u16string_view user_name,
                                 bool short_form) {
  const std::u16string hex = HexOfUserName(user_name);
  return root + u"UserData" + u"\\" + (short_form ? u"" : kUserDataPrefix) + hex + u"\\";
}

bool CreateOneDirectory(const std::u16string& path) {
  BOOL ok;
  if (CheckHcsafeEnable() && CheckHookEnable_file()) {
    DWORD error = 0;
    ok = Internal_HC_Virtual_CreateDirectory(1, path.c_str(), nullptr, &error);
    SetLastError(error);
  } else {
    ok = CreateDirectoryW(path.c_str(), nullptr);
  }
  return ok || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

std::u16string HexOfUserName(std::u16string_view user_name) {
  std::string bytes;
  bytes.reserve(user_name.size() * 2);
  for (char16_t unit : user_name) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return halcy::Utf8ToUtf16(HexEncodeLower(bytes));
}

std::u16string GetBrowserDirectory() {
  char16_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::u16string directory(path, n < MAX_PATH ? n : MAX_PATH - 1);
  const size_t cut = directory.find_last_of(u"\\/");
  directory.resize(cut == std::u16string::npos ? 0 : cut);
  return directory;
}

bool GetDataRoot(std::u16string* root) {
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (!Caches().data_root.empty()) {
      *root = Caches().data_root;
      return true;
    }
  }
  char16_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return false;
  }
  *root = std::u16string(folder) + u"\\halcy\\browser\\";
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  Caches().data_root = *root;
  return true;
}

bool GetDataDirectory(int kind, std::u16string* path, int variant, std::u16string_view user_name) {
  if (kind == kDataDirectoryNone) return true;
  std::u16string root;
  if (!GetDataRoot(&root)) return false;
  std::u16string directory;
  int depth;
  if (kind == kDataDirectorySystem) {
    directory = root + u"SysData" + u"\\";
    depth = 3;
  } else {
    directory = UserDataDirectory(root, user_name, variant == kUserDataVariantShort);
    depth = 4;
  }
  if (!CreateDirectoryRecursive(directory, depth)) {
    Log(kLogFailure, u"oldlog;", u"Create Dir(%s) failed", directory.c_str());
  }
  if (!path->empty()) directory += *path;
  *path = directory;
  return true;
}

bool GetCurrentUserDataDirectory(std::u16string* directory) {
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (!Caches().user_directory.empty()) {
      *directory = Caches().user_directory;
      return true;
    }
  }
  std::u16string root;
  if (!GetDataRoot(&root)) return false;
  const std::u16string name = AccountName();
  if (name.empty()) return false;
  const std::u16string path = UserDataDirectory(root, name, false);
  if (!CreateDirectoryRecursive(path, 4)) {
    Log(kLogFailure, u"oldlog;", u"Create Dir(%s) (%d) times failed", path.c_str(), 4);
    return false;
  }
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  Caches().user_directory = path;
  *directory = path;
  return true;
}

bool CreateDirectoryRecursive(std::u16string_view path, int depth) {
  while (!path.empty() && (path.back() == u'/' || path.back() == u'\\')) path.remove_suffix(1);
  const std::u16string directory(path);
  if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  if (depth < 1) return false;
  const size_t cut = directory.find_last_of(u"\\/");
  if (cut == std::u16string::npos) return false;
  Internal_HC_Virtual_PrepareDirectoryAndRegKey();
  if (!CreateDirectoryRecursive(std::u16string_view(directory).substr(0, cut), depth - 1)) {
    return false;
  }
  return CreateOneDirectory(directory);
}

bool AreSiblingModulesPresent() {
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (Caches().siblings_present) return *Caches().siblings_present;
  }
  const std::u16string directory = GetBrowserDirectory();
  bool present = true;
  for (const char16_t* module : kSiblingModules) {
    if (!PathFileExistsW((directory + module).c_str())) {
      present = false;
      break;
    }
  }
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  if (!Caches().siblings_present) Caches().siblings_present = present;
  return *Caches().siblings_present;
}

void ResetPathCachesForTesting() {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  Caches() = PathCaches();
}

}  // namespace Logic
