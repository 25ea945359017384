// Extension directories as the installed set records them. An extension installed below the
// extension data directory (the directory of the extension database, "localextensions" in the
// system data directory) is recorded as "hcextdbpath/" followed by its id; wherever such a
// path is used, that prefix stands for the extension data directory and a backslash.
//
// Thread-safe: may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

inline constexpr std::u16string_view kExtDbPathPrefix = u"hcextdbpath/";

// "<system data directory>localextensions" with every "/" turned into "\", or "" when the data
// root is unavailable.
std::u16string GetExtensionDataDirectory();

// `path` with a leading "hcextdbpath/" (or "hcextdbpath\", the same prefix after separators
// were turned into backslashes) replaced by the extension data directory and "\"; any other path
// unchanged.
std::u16string ResolveExtensionPath(std::u16string_view path);

}  // namespace Logic
