// The permission gate of commands from extensions: which command names are gated, and whether
// the gate is on.
//
// A command from an extension whose lower-cased name belongs to one of the API groups
// (permission/api_group_table.h) is offered to the command hosts only when the permission
// manager allows it for that extension. The gate can be turned off with
//
//   [permission]
//   enforce=0
//
// in "extensionMgrConfig.ini" beside the executable (default: on).
//
// Thread-safe: the set of gated names is built once per process and read without a lock.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

inline constexpr char16_t kExtensionMgrConfigFile[] = u"extensionMgrConfig.ini";

// True when `command` (any case) belongs to an API group.
bool IsGatedCommand(std::u16string_view command);

// The "enforce" key of section "permission" of extensionMgrConfig.ini in the browser
// directory: false only when it reads 0.
bool ReadPermissionEnforcement();

}  // namespace Logic
