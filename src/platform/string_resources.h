// The browser's string resources, as the common utility library hands them out by name
// (`Help::String::LoadStringW`). The texts live in a table file that the browser ships beside
// its executable, "halcy_strings.txt" in the directory of GetModuleFileNameW(null)
// (platform/system_paths.h, so `$HALCY_BROWSER_DIR` moves it too):
//
//   # comment
//   IDS_EXTENSION_UNKNOWN=未知
//
// One NAME=text per line in UTF-8; blank lines and lines starting with "#" are skipped; "\n" in
// a text stands for a line break and "\\" for a backslash. The file is read again when its
// size or modification time changes.
//
// Thread-safe: may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace halcy {
inline constexpr const char* kStringTableFileName = "halcy_strings.txt";
}  // namespace halcy

namespace Help::String {

// The text of the resource `name`, or "" when the table or the name is missing.
std::u16string LoadStringW(std::u16string_view name);

}  // namespace Help::String
