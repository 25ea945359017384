#include "platform/com_activation.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/guid.h"
#include "platform/registry.h"
#include "platform/win32.h"

namespace halcy {
namespace {

// Libraries stay loaded for the life of the process, like the browser's class cache.
std::mutex g_mutex;
std::map<std::u16string, HMODULE>& LoadedServers() {
  static auto* servers = new std::map<std::u16string, HMODULE>();
  return *servers;
}

bool ReadInprocServerPath(REFCLSID clsid, std::u16string* path) {
  std::u16string key_path = u"CLSID\\" + GuidToString(clsid) + u"\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char16_t buffer[4096];
  DWORD type = 0, size = sizeof(buffer);
  LONG rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || size < sizeof(char16_t)) return false;
  path->assign(buffer, size / sizeof(char16_t) - 1);
  return !path->empty();
}

}  // namespace

HRESULT GetInprocServer(REFCLSID clsid, HMODULE* module) {
  *module = nullptr;
  std::u16string path;
  if (!ReadInprocServerPath(clsid, &path)) return REGDB_E_CLASSNOTREG;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = LoadedServers().find(path);
  if (it != LoadedServers().end()) {
    *module = it->second;
    return S_OK;
  }
  HMODULE loaded = LoadLibraryW(path.c_str());
  if (!loaded) return CO_E_DLLNOTFOUND;
  LoadedServers()[path] = loaded;
  *module = loaded;
  return S_OK;
}

}  // namespace halcy

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* /*reserved*/, REFIID iid,
                         void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  HMODULE module = nullptr;
  HRESULT hr = halcy::GetInprocServer(clsid, &module);
  if (FAILED(hr)) return hr;
  using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
  if (!get) return CO_E_ERRORINDLL;
  return get(clsid, iid, out);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IClassFactory::kIID,
                                factory.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, out);
}
