// Extension directories as the installed set records them. An extension installed below the
// extension data directory (the directory of the extension database, "localextensions" in the
// system data directory) is recorded as "hcextdbpath/" followed by its id; wherever such a
// path is used, that prefix stands for the extension data directory and a backslash.
//
// Also the paths a manifest names (icons, pages): they come from whoever wrote the extension
// and are only used when they stay inside the extension's directory. A path that does not is
// ignored with one failure line in the log naming the extension, the manifest key and the path.
//
//   bool exists = false;
//   if (CheckManifestFile({u"ext;", id, directory, u"options_page", page}, &exists) && exists) {
//     ...  // a regular file inside the directory, reached without a link
//   }
//
// Thread-safe: may be called from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_below.h"

namespace Logic {

inline constexpr std::u16string_view kExtDbPathPrefix = u"hcextdbpath/";

// "<system data directory>localextensions" with every "/" turned into "\", or "" when the data
// root is unavailable.
std::u16string GetExtensionDataDirectory();

// `path` with a leading "hcextdbpath/" (or "hcextdbpath\", the same prefix after separators
// were turned into backslashes) replaced by the extension data directory and "\"; any other path
// unchanged.
std::u16string ResolveExtensionPath(std::u16string_view path);
// The same with the extension data directory given (as GetExtensionDataDirectory returned it),
// for a caller resolving many paths that looks the directory up once.
std::u16string ResolveExtensionPath(std::u16string_view path, std::u16string_view data_directory);

// Whether `path`, a file a manifest names relative to its extension's directory, stays inside
// that directory by its text alone: not empty, not absolute, no drive or stream name (no ":"),
// no control character, and no component (split on "/" and "\") that is empty, "." or "..".
// Links on the way are the file system's part: see CheckManifestFile.
bool IsPathInsideExtension(std::u16string_view path);

// One path from a manifest, with what the log line about it names.
struct ManifestPath {
  const char16_t* tag;            // the log tag, "ext;" or "extMgr;"
  std::u16string_view id;         // the extension's id ("" when it has none yet)
  std::u16string_view directory;  // the extension's directory, "hcextdbpath/" resolved
  std::u16string_view key;        // the manifest key, e.g. "main_icon"
  std::u16string_view path;       // the path as the manifest gives it
};

// Writes the one failure line for a refused manifest path:
// "<tag>: extension '<id>' in <directory>: <key> \"<path>\" ignored, <reason>".
void LogRefusedManifestPath(const ManifestPath& path, std::u16string_view reason);

// Why a walk's result refuses a manifest path ("" when it does not: a regular file or nothing).
std::u16string_view RefusalReason(halcy::FileBelow found);

// Checks `path.path` against IsPathInsideExtension and then what lies there, without opening
// it: false, after one log line, for a path that leaves the directory, a symbolic link on the
// way, or something other than a regular file. A missing file passes; `*exists` (when given)
// tells the two apart.
// `probe`, when given, is `path.directory` opened once for several checks.
bool CheckManifestFile(const ManifestPath& path, bool* exists,
                       halcy::DirectoryProbe* probe = nullptr);

}  // namespace Logic
