#include "platform/system_paths.h"

#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace halcy {
namespace {

std::string EnvOrEmpty(const char* name) {
  // The environment is set up before the browser starts its threads (tests change it only
  // while no other thread reads it).
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
  struct passwd pwd;
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &pwd, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return result->pw_dir;
  }
  return std::string();
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::mutex g_user_mutex;
std::optional<std::u16string>& UserNameOverride() {
  static auto* name = new std::optional<std::u16string>();
  return *name;
}

std::u16string AccountName() {
  {
    std::lock_guard<std::mutex> lock(g_user_mutex);
    if (UserNameOverride()) return *UserNameOverride();
  }
  struct passwd pwd;
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &pwd, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_name) {
    return Utf8ToUtf16(result->pw_name);
  }
  return Utf8ToUtf16(EnvOrEmpty("USER"));
}

// Copies `text` with a NUL into `buffer` of `size` characters, as GetModuleFileNameW does.
DWORD CopyCut(const std::u16string& text, LPWSTR buffer, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() < size) {
    std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
    buffer[text.size()] = u'\0';
    return static_cast<DWORD>(text.size());
  }
  std::memcpy(buffer, text.data(), (size - 1) * sizeof(char16_t));
  buffer[size - 1] = u'\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

std::string ExecutablePath() {
  std::string exe(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  exe.resize(n > 0 ? static_cast<size_t>(n) : 0);
  const std::string browser_dir = StripTrailingSlashes(EnvOrEmpty("HALCY_BROWSER_DIR"));
  if (browser_dir.empty()) return exe;
  return browser_dir + "/" + exe.substr(exe.rfind('/') + 1);
}

// mkdir -p; true when `folder` is a directory afterwards.
bool MakeFolder(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolder(folder.substr(0, slash))) {
    return false;
  }
  return ::mkdir(folder.c_str(), 0700) == 0 ||
         (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

}  // namespace

std::string ApplicationDataFolder() {
  std::string folder = EnvOrEmpty("HALCY_APPDATA");
  if (folder.empty()) folder = EnvOrEmpty("XDG_CONFIG_HOME");
  if (folder.empty()) {
    const std::string home = HomeDirectory();
    if (home.empty()) return std::string();
    folder = home + "/.config";
  }
  return StripTrailingSlashes(folder);
}

void SetUserNameForTesting(std::optional<std::u16string> name) {
  std::lock_guard<std::mutex> lock(g_user_mutex);
  UserNameOverride() = std::move(name);
}

}  // namespace halcy

HRESULT SHGetFolderPathW(void* /*hwnd*/, int csidl, HANDLE /*token*/, DWORD /*flags*/,
                         LPWSTR path) {
  if (!path || (csidl & ~CSIDL_FLAG_CREATE) != CSIDL_APPDATA) return E_INVALIDARG;
  path[0] = u'\0';
  const std::string folder = halcy::ApplicationDataFolder();
  if (folder.empty()) return E_FAIL;
  const std::u16string wide = halcy::Utf8ToUtf16(folder);
  if (wide.size() >= MAX_PATH) return E_FAIL;
  if (!halcy::MakeFolder(folder)) return E_FAIL;
  std::memcpy(path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return S_OK;
}

BOOL GetUserNameW(LPWSTR buffer, DWORD* size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string name = halcy::AccountName();
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), needed * sizeof(char16_t));
  *size = needed;
  return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!module) return halcy::CopyCut(halcy::Utf8ToUtf16(halcy::ExecutablePath()), buffer, size);
  struct link_map* map = nullptr;
  if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return halcy::CopyCut(halcy::Utf8ToUtf16(map->l_name), buffer, size);
}
