// The version resource of an executable or library (the version.dll calls the module makes),
// over a stand-in file: the version of "<dir>/<name>" is read from the text file
// "<dir>/<name>.version" beside it, whose first line holds four dotted numbers, for example
// "6.5.1.2" (each 0 to 65535). A missing or malformed file means the binary carries no version
// resource.
//
//   DWORD handle = 0;
//   DWORD size = GetFileVersionInfoSizeW(path, &handle);
//   std::vector<BYTE> block(size);
//   VS_FIXEDFILEINFO* info = nullptr;  UINT len = 0;
//   if (size && GetFileVersionInfoW(path, handle, size, block.data()) &&
//       VerQueryValueW(block.data(), u"\\", reinterpret_cast<void**>(&info), &len)) {
//     int major = HIWORD(info->dwFileVersionMS);  ...
//   }
//
// Only the root block "\" (the fixed file information) is known to VerQueryValueW.
// Thread-safe: every function may be called from any thread.
#pragma once

#include "platform/win_types.h"

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;  // major << 16 | minor
  DWORD dwFileVersionLS;  // build << 16 | revision
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

constexpr WORD HIWORD(DWORD value) { return static_cast<WORD>(value >> 16); }
constexpr WORD LOWORD(DWORD value) { return static_cast<WORD>(value & 0xFFFF); }

// The size of the version block, or 0 (last error ERROR_RESOURCE_TYPE_NOT_FOUND) when the file
// has none. `handle` is set to 0, as Windows does.
DWORD GetFileVersionInfoSizeW(LPCWSTR file, DWORD* handle);
// Fills `data` (`size` bytes, at least GetFileVersionInfoSizeW's answer).
BOOL GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, void* data);
// Points `*buffer` into `block`; only `sub_block` "\" is known.
BOOL VerQueryValueW(const void* block, LPCWSTR sub_block, void** buffer, UINT* size);

namespace halcy {
// The suffix of the stand-in file that carries a binary's version.
inline constexpr char kVersionFileSuffix[] = ".version";
}  // namespace halcy
