// The kernel32 ini-file functions the module reads its settings with
// ("extensionMgrConfig.ini", "autoupdate.ini", ...), with Windows semantics:
//
//   UINT enforce = GetPrivateProfileIntW(u"permission", u"enforce", 1, path);
//   char16_t text[64];
//   GetPrivateProfileStringW(u"extUpdate", u"url", u"", text, 64, path);
//   WritePrivateProfileStringW(u"extUpdate", u"url", u"http://...", path);
//
// - A file is "[section]" lines followed by "key=value" lines; text before the first section,
//   lines without "=" and lines starting with ";" are ignored. Section and key names match
//   without regard to ASCII case; names and values are trimmed of blanks and tabs, and a value
//   enclosed in a matching pair of quotation marks (" or ') loses them when read. The first
//   occurrence of a section or key wins. Files are UTF-8 (a leading byte-order mark is
//   skipped); paths are Windows-style or native.
// - GetPrivateProfileStringW with a null section lists the section names, with a null key the
//   key names of the section, each NUL-terminated and the list closed by a second NUL. A
//   missing file, section or key yields the default (null reads as ""; trailing blanks of the
//   default are dropped). When the buffer is too small the text is cut and the result is
//   size - 1 (size - 2 for lists). The result counts the characters copied, without the NUL.
// - GetPrivateProfileIntW reads an optional "-" and decimal digits from the start of the value
//   and stops at the first other character (0 when there is no digit); a missing or empty
//   value yields the default.
// - WritePrivateProfileStringW sets a key (creating the file and section as needed, keeping the
//   spelling of existing names), deletes the key when `value` is null, and deletes the whole
//   section when `key` is null. The file is written to a temporary file beside it and renamed
//   into place, so a reader never sees half a file. FALSE with the last error set when the
//   file cannot be read or written.
//
// Thread-safe: writes in one process are serialised by one mutex (read-modify-write of a
// file); reads take no lock and always see a whole version of the file.
#pragma once

#include "platform/win_types.h"

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT default_value, LPCWSTR file_name);

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR default_value, LPWSTR buffer,
                               DWORD size, LPCWSTR file_name);

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file_name);
