// CExtension::GetRegPathProgram: a program that another installer registered, found through
// the manifest's "regpath" declaration:
//   "regpath": {"root": "HKEY_LOCAL_MACHINE", "path": "SOFTWARE\\Vendor\\App",
//               "param": "InstallDir", "icon": "Icon"},
//   "exename": "app.exe", "exeparam": "--from-browser"

#include "extension/extension.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace Logic {
namespace {

struct RegPathDeclaration {
  std::u16string root, path, param, icon, exename, exeparam;
};

HKEY PredefinedKey(std::u16string_view name) {
  const std::u16string lower = halcy::AsciiToLower(name);
  if (lower == u"hkey_classes_root") return HKEY_CLASSES_ROOT;
  if (lower == u"hkey_current_user") return HKEY_CURRENT_USER;
  if (lower == u"hkey_local_machine") return HKEY_LOCAL_MACHINE;
  if (lower == u"hkey_users") return HKEY_USERS;
  if (lower == u"hkey_current_config") return HKEY_CURRENT_CONFIG;
  return nullptr;
}

std::u16string MemberString(const CJsonValue& object, std::u16string_view key) {
  const CJsonValue::Object& members = object.GetObject();
  auto it = members.find(key);
  return it == members.end() ? std::u16string() : it->second->GetString();
}

}  // namespace

bool CExtension::GetRegPathProgram(RegPathProgram* result, bool* program_exists) const {
  *program_exists = false;
  RegPathDeclaration declaration;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const CJsonValue* regpath = FindMember(u"regpath");
    if (!regpath || !regpath->IsObject()) return false;
    declaration.root = MemberString(*regpath, u"root");
    declaration.path = MemberString(*regpath, u"path");
    declaration.param = MemberString(*regpath, u"param");
    declaration.icon = MemberString(*regpath, u"icon");
    declaration.exename = MemberString(*manifest_, u"exename");
    declaration.exeparam = MemberString(*manifest_, u"exeparam");
  }
  HKEY root = PredefinedKey(declaration.root);
  if (!root) return false;
  // A missing key and a missing "param" value both end here.
  std::u16string directory;
  if (halcy::RegReadString(root, declaration.path, declaration.param, &directory) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::u16string icon;
  // The icon is optional: a missing value leaves it empty.
  if (halcy::RegReadString(root, declaration.path, declaration.icon, &icon) != ERROR_SUCCESS) {
    icon.clear();
  }
  while (!directory.empty() && directory.back() == u'\\') directory.pop_back();
  const std::u16string program =
      halcy::StringPrintf(u"%s\\%s", directory.c_str(), declaration.exename.c_str());
  const DWORD attributes = GetFileAttributesW(program.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return true;
  }
  *program_exists = true;
  *result = {program, declaration.exeparam, icon};
  return true;
}

}  // namespace Logic
