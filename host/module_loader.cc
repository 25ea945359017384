#include "host/module_loader.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/strings.h"
#include "platform/win32.h"

namespace host {

std::string DefaultModulePath() {
  if (const char* env = std::getenv("HALCY_MODULE")) return env;
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  std::string exe = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  size_t slash = exe.rfind('/');
  return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/libplexore.so";
}

bool CallModuleEntry(const std::string& module_path, const char* entry, HRESULT* result) {
  HMODULE module = LoadLibraryW(halcy::Utf8ToUtf16(module_path).c_str());
  if (!module) {
    std::fprintf(stderr, "plexore-host: cannot load %s (error %u)\n", module_path.c_str(),
                 GetLastError());
    return false;
  }
  using EntryFn = HRESULT (*)();
  auto fn = reinterpret_cast<EntryFn>(GetProcAddress(module, entry));
  if (!fn) {
    std::fprintf(stderr, "plexore-host: %s has no entry point %s\n", module_path.c_str(), entry);
    FreeLibrary(module);
    return false;
  }
  *result = fn();
  FreeLibrary(module);
  return true;
}

}  // namespace host
