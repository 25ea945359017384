#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Layout: [uint32 byte length][chars...][NUL char16_t]; the BSTR points at the chars.
BSTR AllocBytes(const void* data, UINT bytes) {
  if (bytes > std::numeric_limits<UINT>::max() - 16) return nullptr;
  auto* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(char16_t) + 1));
  if (!block) return nullptr;
  std::memcpy(block, &bytes, sizeof(uint32_t));
  char* chars = block + sizeof(uint32_t);
  if (data) {
    std::memcpy(chars, data, bytes);
  } else {
    std::memset(chars, 0, bytes);  // defined contents rather than leftovers
  }
  // Two NUL bytes after an even length, three after an odd one: always a NUL char16_t.
  std::memset(chars + bytes, 0, sizeof(char16_t) + 1);
  return reinterpret_cast<BSTR>(chars);
}

}  // namespace

BSTR SysAllocString(LPCWSTR text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<char16_t>::length(text)));
}

BSTR SysAllocStringLen(const char16_t* text, UINT chars) {
  if (chars > std::numeric_limits<UINT>::max() / 2) return nullptr;
  return AllocBytes(text, chars * static_cast<UINT>(sizeof(char16_t)));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT len) { return AllocBytes(bytes, len); }

void SysFreeString(BSTR bstr) {
  if (bstr) std::free(reinterpret_cast<char*>(bstr) - sizeof(uint32_t));
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<char*>(bstr) - sizeof(uint32_t), sizeof(bytes));
  return bytes;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(char16_t); }

namespace halcy {

ScopedBstr::ScopedBstr(std::u16string_view text)
    : bstr_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}

BSTR* ScopedBstr::Receive() {
  Reset();
  return &bstr_;
}

BSTR ScopedBstr::Release() {
  BSTR b = bstr_;
  bstr_ = nullptr;
  return b;
}

void ScopedBstr::Reset(BSTR bstr) {
  if (bstr_ != bstr) SysFreeString(bstr_);
  bstr_ = bstr;
}

HRESULT CopyToBstr(std::u16string_view text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

std::u16string BstrText(BSTR bstr) { return bstr ? std::u16string(bstr, SysStringLen(bstr)) : u""; }

}  // namespace halcy
