// The Win32 registry subset (advapi32's Reg* functions), kept in one `.reg`-style text file.
// Every function is safe to call from any thread and from several processes at once: calls in
// one process are serialised by a mutex, and every change takes an exclusive flock on
// "<file>.lock", re-reads the file, applies the change and renames a fully written and synced
// copy into place, so concurrent writers never lose each other's changes. Reads take no file
// lock: the file is only ever replaced whole by rename, so a reader always sees one complete
// version. The parsed file is cached and re-read only when its identity (device, inode, size,
// mtime, ctime) changes; the cache keeps the file open so that its inode number cannot be
// reused by a later version while it is cached.
//
// The file is `$HALCY_REGISTRY`, or "<appdata>/halcy/registry.reg" below the application-data
// folder (`$HALCY_APPDATA`, else `$XDG_CONFIG_HOME`, else "~/.config"). The path is looked up
// on every call, so pointing `HALCY_REGISTRY` elsewhere takes effect at once. A missing file is
// an empty registry. A file that does not parse makes every call that reads it fail with
// ERROR_REGISTRY_CORRUPT, prints one line naming the file and line to stderr, and is never
// overwritten until someone fixes or removes it.
//
// An HKEY is a handle to a path (root + subkey), not to a key object: it sees changes made by
// other handles and processes, and a call through a handle whose key has been deleted fails
// with ERROR_KEY_DELETED (a key re-created under the same path is visible again through it).
// Handles are never reused; a closed or made-up handle gives ERROR_INVALID_HANDLE.
//
// Behaviour worth knowing, in Windows terms:
// - Names are case-insensitive (ASCII folding) and case-preserving. Subkey paths use "\";
//   a leading "\" or an empty component gives ERROR_BAD_PATHNAME, one trailing "\" is ignored.
//   Key names are 1 to 255 UTF-16 units without control characters or unpaired surrogates
//   (ERROR_INVALID_PARAMETER otherwise).
// - Enumeration order is creation order: subkeys and values come back in the order they were
//   first created, and that order survives the file (it is the order they are written in).
//   Replacing a value keeps its place.
// - Every value type is accepted and stored byte for byte. REG_SZ data that ends in exactly one
//   NUL (the usual shape) is written as text, REG_DWORD of 4 bytes as `dword:`, anything else
//   as `hex:`/`hex(N):` bytes; queries return exactly the bytes that were set.
// - Access rights are checked: querying and enumerating values needs KEY_QUERY_VALUE, setting
//   and deleting values KEY_SET_VALUE, enumerating subkeys KEY_ENUMERATE_SUB_KEYS, creating a
//   new subkey KEY_CREATE_SUB_KEY, RegDeleteTreeW KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE
//   (plus KEY_SET_VALUE to clear the handle's own values); a missing right gives
//   ERROR_ACCESS_DENIED. Predefined roots have every right. RegDeleteKeyW refuses a key that
//   has subkeys with ERROR_ACCESS_DENIED, as Windows does.
// - HKEY_CLASSES_ROOT is a tree of its own (not a merged view of HKLM and HKCU classes).
//   Volatile keys are not supported (REG_OPTION_VOLATILE gives ERROR_INVALID_PARAMETER). No
//   class names, security descriptors or write times are kept: they read back empty or zero.
// - A change that cannot be written (directory missing and not creatable, disk full) gives
//   ERROR_CANTWRITE and leaves the file as it was. A call that changes nothing (creating an
//   existing key, setting a value to what it already holds) does not rewrite the file.
//
// Example:
//   HKEY key;
//   if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", 0, KEY_READ, &key) ==
//       ERROR_SUCCESS) {
//     DWORD flag = 0, size = sizeof(flag), type = 0;
//     RegQueryValueExW(key, u"PerformanceTestFlag", nullptr, &type,
//                      reinterpret_cast<BYTE*>(&flag), &size);
//     RegCloseKey(key);
//   }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// The predefined roots, with the Windows values (zero-extended). Macros, as in Windows: a
// reinterpret_cast is not a constant expression, and a `const HKEY` variable would be
// initialised dynamically, too late for other files' static initialisers.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(uintptr_t{0x80000000}))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(uintptr_t{0x80000001}))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(uintptr_t{0x80000002}))
#define HKEY_USERS (reinterpret_cast<HKEY>(uintptr_t{0x80000003}))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(uintptr_t{0x80000005}))

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;  // accepted and ignored: there is one view
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;  // accepted and ignored: there is one view
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// RegCreateKeyExW options and dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Result codes used here beyond those in win_types.h.
constexpr DWORD ERROR_BAD_PATHNAME = 161;

// Creates the key (and any missing keys on the way) or opens it if it exists. `subkey` may be
// empty (opens `key` itself) but not null. `cls` and `security` are ignored.
LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition);
// Opens an existing key; a null or empty `subkey` gives a new handle to `key` itself.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam, HKEY* result);
// Closing a predefined root succeeds and does nothing.
LONG RegCloseKey(HKEY key);

// A null `data` with non-null `cb` reports the size. A short buffer gives ERROR_MORE_DATA with
// the needed size in *cb. A null or empty `name` is the key's default value.
LONG RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* cb);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb);
LONG RegDeleteValueW(HKEY key, LPCWSTR name);

// `name_len` is in UTF-16 units: on input the buffer size including the NUL, on success the
// name's length without it. A name that does not fit gives ERROR_MORE_DATA and leaves
// *name_len unchanged (RegQueryInfoKeyW gives the longest length). `cls` comes back empty and
// `last_write_time` (a FILETIME) zero.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD* reserved, LPWSTR cls,
                   DWORD* cls_len, void* last_write_time);
// Name as for RegEnumKeyExW, data as for RegQueryValueExW.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cb);

// Deletes a key without subkeys (ERROR_ACCESS_DENIED if it has any). An empty `subkey`
// deletes `key` itself; a root cannot be deleted.
LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey);
// Deletes `subkey` with everything below it; a null or empty `subkey` deletes every subkey and
// value of `key` but keeps `key`.
LONG RegDeleteTreeW(HKEY key, LPCWSTR subkey);

// Any out-pointer may be null. Lengths of names are in UTF-16 units without the NUL, data
// lengths in bytes. Class, security descriptor length and write time come back empty or zero.
LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, DWORD* cls_len, DWORD* reserved, DWORD* subkeys,
                      DWORD* max_subkey_len, DWORD* max_class_len, DWORD* values,
                      DWORD* max_value_name_len, DWORD* max_value_len,
                      DWORD* security_descriptor_len, void* last_write_time);

namespace halcy {

// The registry file in use now (UTF-8), resolved as described at the top of this file.
std::string RegistryPath();

// Typed shortcuts that open `subkey` below `root`, read or write one value and close it again.
// RegReadDword wants a 4-byte REG_DWORD; RegReadString a REG_SZ or REG_EXPAND_SZ (the text up to
// its first NUL). Either gives ERROR_INVALID_DATA for a value of another shape. The writers
// create missing keys.
LONG RegReadDword(HKEY root, std::u16string_view subkey, std::u16string_view name, DWORD* value);
LONG RegReadString(HKEY root, std::u16string_view subkey, std::u16string_view name,
                   std::u16string* value);
LONG RegWriteDword(HKEY root, std::u16string_view subkey, std::u16string_view name, DWORD value);
LONG RegWriteString(HKEY root, std::u16string_view subkey, std::u16string_view name,
                    std::u16string_view value);

}  // namespace halcy
