#include "platform/win32.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/log_controller.h"
#include "platform/strings.h"

namespace {
thread_local DWORD t_last_error = 0;
thread_local LCID t_locale = LOCALE_USER_DEFAULT;
}  // namespace

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

void OutputDebugStringW(LPCWSTR text) {
  if (!text) return;
  std::u16string line(text);
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r')) line.pop_back();
  halcy::ILogController* log = halcy::GetLogController();
  if (log && log->IsEnabled(1, u"debugger;")) log->Write(1, u"debugger;", line.c_str());
}

LCID GetThreadLocale() { return t_locale; }
BOOL SetThreadLocale(LCID locale) {
  t_locale = locale;
  return TRUE;
}

namespace {

constexpr DWORD ERROR_DLL_INIT_FAILED = 1114;
using DllMainFn = BOOL (*)(HINSTANCE, DWORD, LPVOID);

// Load counts per handle, so that DllMain sees process attach once and detach at the last
// FreeLibrary, as the Windows loader does.
std::mutex g_loader_mutex;
std::map<void*, int>& LoadCounts() {
  static auto* counts = new std::map<void*, int>();
  return *counts;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR path) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string narrow = halcy::Utf16ToUtf8(path);
  std::lock_guard<std::mutex> lock(g_loader_mutex);
  void* handle = dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (++LoadCounts()[handle] == 1) {
    auto dll_main = reinterpret_cast<DllMainFn>(dlsym(handle, "DllMain"));
    if (dll_main && !dll_main(handle, 1 /* DLL_PROCESS_ATTACH */, nullptr)) {
      LoadCounts().erase(handle);
      dlclose(handle);
      SetLastError(ERROR_DLL_INIT_FAILED);
      return nullptr;
    }
  }
  return handle;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module || !name) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* sym = dlsym(module, name);
  if (!sym) SetLastError(ERROR_PROC_NOT_FOUND);
  return sym;
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) return FALSE;
  std::lock_guard<std::mutex> lock(g_loader_mutex);
  auto it = LoadCounts().find(module);
  if (it != LoadCounts().end() && --it->second == 0) {
    LoadCounts().erase(it);
    if (auto dll_main = reinterpret_cast<DllMainFn>(dlsym(module, "DllMain"))) {
      dll_main(module, 0 /* DLL_PROCESS_DETACH */, nullptr);
    }
  }
  return dlclose(module) == 0 ? TRUE : FALSE;
}

DWORD GetModuleFileNameForAddress(const void* address, LPWSTR buffer, DWORD chars) {
  Dl_info info{};
  if (!buffer || chars == 0) return 0;
  if (!dladdr(address, &info) || !info.dli_fname) {
    buffer[0] = u'\0';
    return 0;
  }
  std::u16string path = halcy::Utf8ToUtf16(info.dli_fname);
  DWORD n = static_cast<DWORD>(path.size() < chars ? path.size() : chars - 1);
  path.copy(buffer, n);
  buffer[n] = u'\0';
  return n;
}
