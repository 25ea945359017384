#include "extension/permission_gate.h"

#include <unordered_set>

#include "common/paths.h"
#include "permission/api_group_table.h"
#include "platform/ini_file.h"
#include "platform/strings.h"

namespace Logic {
namespace {

// Every name of every group, lower-cased as the table stores them.
const std::unordered_set<std::u16string>& GatedNames() {
  static const std::unordered_set<std::u16string> names = [] {
    std::unordered_set<std::u16string> set;
    for (const auto& [group, members] : ApiGroupTable::Get().groups()) {
      set.insert(members.begin(), members.end());
    }
    return set;
  }();
  return names;
}

}  // namespace

bool IsGatedCommand(std::u16string_view command) {
  return GatedNames().count(LowerCasePermissionText(command)) != 0;
}

bool ReadPermissionEnforcement() {
  const std::u16string path =
      halcy::StringPrintf(u"%s\\%s", GetBrowserDirectory().c_str(), kExtensionMgrConfigFile);
  return GetPrivateProfileIntW(u"permission", u"enforce", 1, path.c_str()) != 0;
}

}  // namespace Logic
