// Where the module keeps its files: the browser's installation directory, the per-user data
// root below the roaming application-data folder, its "SysData" and "UserData" directories,
// and the recursive directory creation that makes them. Also the check that every sibling
// module of the browser is installed.
//
// Every directory path ends with a backslash except the browser directory, which is the
// executable's directory as the system reports it:
//   data root                "<appdata>\halcy\browser\"
//   system data directory    "<data root>SysData\"
//   user data directory      "<data root>UserData\0A73B7929C9546628F097CEEACA6E079<hex(user)>\"
//   short user directory     "<data root>UserData\<hex(user)>\"
// hex(user) is the user name's UTF-16 code units as bytes, low byte first, in lower-case hex.
//
// The data root, the account name, the current user's directory and the sibling check are
// computed once per process and kept (ResetPathCachesForTesting forgets them).
//
// Thread-safe: every function may be called from any thread; the caches are filled under a lock
// and concurrent first uses compute the same values.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

// Kinds of GetDataDirectory.
inline constexpr int kDataDirectorySystem = 1;
inline constexpr int kDataDirectoryUser = 2;
inline constexpr int kDataDirectoryNone = 3;
// The variant that selects the short user data directory.
inline constexpr int kUserDataVariantShort = 2;

// The fixed prefix of the (full) user data directory's last component.
inline constexpr const char16_t* kUserDataPrefix = u"0A73B7929C9546628F097CEEACA6E079";

// The sibling modules that must all be present in the browser directory.
inline constexpr const char16_t* kSiblingModules[] = {
    u"\\Quillon.dll", u"\\Tollmark.dll", u"\\Sarnet.dll", u"\\plexore.dll", u"\\Brindle.dll",
};

// The running executable's directory, without a trailing separator.
std::u16string GetBrowserDirectory();

// "<appdata>\halcy\browser\"; false when the application-data folder cannot be obtained.
bool GetDataRoot(std::u16string* root);

// Kind 1: the system data directory (created with depth 3). Kind 2: the user data directory of
// `user_name` (the short one for variant 2; created with depth 4). Kind 3: returns true and
// leaves `path` alone. `path` holds a sub path on entry (appended when not empty) and the
// result on return. A failed creation is logged and still returns true; only a missing data
// root returns false.
bool GetDataDirectory(int kind, std::u16string* path, int variant, std::u16string_view user_name);

// The user data directory of the Windows account, created with depth 4 and cached. False when
// the data root or the account name is unavailable, or the directory cannot be created.
bool GetCurrentUserDataDirectory(std::u16string* directory);

// Creates `path` and up to `depth` - 1 missing ancestors (so at most `depth` levels); an
// existing path succeeds without creating anything. Trailing separators are ignored.
bool CreateDirectoryRecursive(std::u16string_view path, int depth);

// True when every one of kSiblingModules exists in the browser directory. The first answer is
// kept for the life of the process.
bool AreSiblingModulesPresent();

// hex(user).
std::u16string HexOfUserName(std::u16string_view user_name);

// Forgets the cached data root, account name, user directory and sibling check.
void ResetPathCachesForTesting();

}  // namespace Logic
