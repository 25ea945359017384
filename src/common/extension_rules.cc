#include "common/extension_rules.h"

#include <string>

namespace Logic {
namespace {

constexpr size_t kMaxIdLength = 128;

// Lower-case, as the reserved names below are written.
constexpr std::u16string_view kReservedNames[] = {
    u"extdb_v2.json",
    u"localextensionversion.json",
    u"extensionunloadlist.ini",
    u"unfinishtask.ini",
    u"localselectedextensions.json",
    u"setup.json",
    u"updatetemp",
    u"downloadtemp",
};
// The store's temporary and moved-aside copies begin with its name.
constexpr std::u16string_view kStorePrefix = u"extdb_v2.json.";
constexpr std::u16string_view kBackupSuffix = u"backups";

bool IsIdCharacter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'-' || c == u'_' || c == u'.';
}

}  // namespace

ExtensionIdCheck CheckExtensionId(std::u16string_view id) {
  if (id.empty() || id.size() > kMaxIdLength || id[0] == u'.') return ExtensionIdCheck::kMalformed;
  std::u16string lower(id);
  for (char16_t& c : lower) {
    if (!IsIdCharacter(c)) return ExtensionIdCheck::kMalformed;
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  for (std::u16string_view reserved : kReservedNames) {
    if (lower == reserved) return ExtensionIdCheck::kReserved;
  }
  if (lower.starts_with(kStorePrefix) || lower.ends_with(kBackupSuffix)) {
    return ExtensionIdCheck::kReserved;
  }
  return ExtensionIdCheck::kUsable;
}

}  // namespace Logic
