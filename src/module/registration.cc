// DllRegisterServer / DllUnregisterServer: the AppID script and one set of keys per class,
// all under HKEY_CLASSES_ROOT, written inside a save-and-restore of the thread locale.
#include <string>

#include "module/class_ids.h"
#include "module/module.h"
#include "platform/guid.h"
#include "platform/registry.h"
#include "platform/win32.h"

namespace Logic {
namespace {

HRESULT FromRegError(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

// Creates `path` under HKEY_CLASSES_ROOT and sets value `name` (null: the default value).
LONG SetString(const std::u16string& path, const char16_t* name, const std::u16string& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(key);
  return rc;
}

LONG CreateEmptyKey(const std::u16string& path) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc;
}

// A missing key counts as removed.
LONG DeleteTree(const std::u16string& path) {
  LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  if (rc == ERROR_SUCCESS) rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
  return rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ? ERROR_SUCCESS : rc;
}

std::u16string VersionIndependent(const char16_t* prog_id) {
  std::u16string s(prog_id);
  if (s.size() > 2 && s.compare(s.size() - 2, 2, u".1") == 0) s.resize(s.size() - 2);
  return s;
}

// The module registry script: HKCR\AppID\{module} = "plexore", HKCR\AppID\plexore.DLL with
// AppID = {module}. The AppID key itself is never removed.
LONG RegisterAppId() {
  const std::u16string app_id = kModuleAppIdText;
  LONG rc = SetString(u"AppID\\" + app_id, nullptr, kProjectName);
  if (rc == ERROR_SUCCESS) rc = SetString(u"AppID\\plexore.DLL", u"AppID", app_id);
  return rc;
}

LONG UnregisterAppId() {
  LONG rc = DeleteTree(u"AppID\\" + std::u16string(kModuleAppIdText));
  if (rc == ERROR_SUCCESS) rc = DeleteTree(u"AppID\\plexore.DLL");
  return rc;
}

#define RETURN_IF_FAILED_REG(expr)        \
  do {                                    \
    LONG rc_ = (expr);                    \
    if (rc_ != ERROR_SUCCESS) return rc_; \
  } while (0)

LONG RegisterClass(const ClassId& c, const std::u16string& module_path) {
  const std::u16string friendly = std::u16string(c.name) + u" Object";
  const std::u16string clsid = halcy::GuidToString(c.clsid);
  const std::u16string prog_id = c.prog_id;
  const std::u16string vi_prog_id = VersionIndependent(c.prog_id);
  const std::u16string clsid_key = u"CLSID\\" + clsid;

  RETURN_IF_FAILED_REG(SetString(prog_id, nullptr, friendly));
  RETURN_IF_FAILED_REG(SetString(prog_id + u"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED_REG(SetString(vi_prog_id, nullptr, friendly));
  RETURN_IF_FAILED_REG(SetString(vi_prog_id + u"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED_REG(SetString(vi_prog_id + u"\\CurVer", nullptr, prog_id));
  RETURN_IF_FAILED_REG(SetString(clsid_key, nullptr, friendly));
  RETURN_IF_FAILED_REG(SetString(clsid_key, u"AppID", kModuleAppIdText));
  RETURN_IF_FAILED_REG(SetString(clsid_key + u"\\ProgID", nullptr, prog_id));
  RETURN_IF_FAILED_REG(SetString(clsid_key + u"\\VersionIndependentProgID", nullptr, vi_prog_id));
  RETURN_IF_FAILED_REG(CreateEmptyKey(clsid_key + u"\\Programmable"));
  RETURN_IF_FAILED_REG(SetString(clsid_key + u"\\InprocServer32", nullptr, module_path));
  RETURN_IF_FAILED_REG(SetString(clsid_key + u"\\InprocServer32", u"ThreadingModel", u"free"));
  RETURN_IF_FAILED_REG(
      SetString(clsid_key + u"\\TypeLib", nullptr, halcy::GuidToString(kModuleGuid)));
  return ERROR_SUCCESS;
}

LONG UnregisterClass(const ClassId& c) {
  RETURN_IF_FAILED_REG(DeleteTree(c.prog_id));
  RETURN_IF_FAILED_REG(DeleteTree(VersionIndependent(c.prog_id)));
  return DeleteTree(u"CLSID\\" + halcy::GuidToString(c.clsid));
}

// Runs `body` with the thread locale set to the system default, restoring it afterwards.
template <class Body>
HRESULT InSystemLocale(Body body) {
  LCID saved = GetThreadLocale();
  SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  HRESULT hr = body();
  SetThreadLocale(saved);
  return hr;
}

}  // namespace
}  // namespace Logic

HRESULT DllRegisterServer() {
  using namespace Logic;
  return InSystemLocale([]() -> HRESULT {
    LONG rc = RegisterAppId();
    if (rc != ERROR_SUCCESS) return FromRegError(rc);
    const std::u16string path = ModulePath();
    for (const ClassId& c : kClassTable) {
      rc = RegisterClass(c, path);
      if (rc != ERROR_SUCCESS) return FromRegError(rc);
    }
    // No type library ships with the module (nothing reads type information), so the
    // framework's type-library step has nothing to register.
    return S_OK;
  });
}

HRESULT DllUnregisterServer() {
  using namespace Logic;
  return InSystemLocale([]() -> HRESULT {
    for (int i = kClassCount - 1; i >= 0; --i) {
      LONG rc = UnregisterClass(kClassTable[i]);
      if (rc != ERROR_SUCCESS) return FromRegError(rc);
    }
    return FromRegError(UnregisterAppId());
  });
}
