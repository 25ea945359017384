#include "platform/version_resource.h"

#include <cstring>
#include <fstream>
#include <string>

#include "platform/file_system.h"
#include "platform/win32.h"

namespace {

// The block handed out: a marker and the fixed file information.
struct VersionBlock {
  DWORD marker;
  VS_FIXEDFILEINFO fixed;
};
constexpr DWORD kBlockMarker = 0x56455253;  // "VERS"

// Parses "a.b.c.d" (four numbers of 0..65535); trailing white space is allowed.
bool ParseVersionLine(const std::string& line, WORD parts[4]) {
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos >= line.size() || line[pos] < '0' || line[pos] > '9') return false;
    unsigned long value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
      value = value * 10 + static_cast<unsigned long>(line[pos] - '0');
      if (value > 0xFFFF) return false;
      ++pos;
    }
    parts[i] = static_cast<WORD>(value);
    if (i < 3) {
      if (pos >= line.size() || line[pos] != '.') return false;
      ++pos;
    }
  }
  for (; pos < line.size(); ++pos) {
    if (line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') return false;
  }
  return true;
}

bool ReadVersion(LPCWSTR file, VersionBlock* block) {
  if (!file) return false;
  std::ifstream in(halcy::ToNativePath(file) + halcy::kVersionFileSuffix);
  std::string line;
  WORD parts[4];
  if (!in || !std::getline(in, line) || !ParseVersionLine(line, parts)) return false;
  std::memset(block, 0, sizeof(*block));
  block->marker = kBlockMarker;
  block->fixed.dwSignature = VS_FFI_SIGNATURE;
  block->fixed.dwStrucVersion = 0x00010000;
  block->fixed.dwFileVersionMS = (DWORD{parts[0]} << 16) | parts[1];
  block->fixed.dwFileVersionLS = (DWORD{parts[2]} << 16) | parts[3];
  block->fixed.dwProductVersionMS = block->fixed.dwFileVersionMS;
  block->fixed.dwProductVersionLS = block->fixed.dwFileVersionLS;
  return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR file, DWORD* handle) {
  if (handle) *handle = 0;
  VersionBlock block;
  if (!ReadVersion(file, &block)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  return sizeof(VersionBlock);
}

BOOL GetFileVersionInfoW(LPCWSTR file, DWORD /*handle*/, DWORD size, void* data) {
  if (!data || size < sizeof(VersionBlock)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  VersionBlock block;
  if (!ReadVersion(file, &block)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  std::memcpy(data, &block, sizeof(block));
  return TRUE;
}

BOOL VerQueryValueW(const void* block, LPCWSTR sub_block, void** buffer, UINT* size) {
  if (!block || !sub_block || !buffer || std::u16string_view(sub_block) != u"\\") return FALSE;
  auto* versions = static_cast<VersionBlock*>(const_cast<void*>(block));
  if (versions->marker != kBlockMarker) return FALSE;
  *buffer = &versions->fixed;
  if (size) *size = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}
