// BSTR: a char16_t* preceded by a 4-byte length prefix (in bytes) and followed by a NUL.
// Made and freed only by this family; embedded NULs are kept, since the length is stored.
// Safe from any thread (each BSTR is owned by one holder at a time).
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

BSTR SysAllocString(LPCWSTR text);                         // null text gives null
BSTR SysAllocStringLen(const char16_t* text, UINT chars);  // null text: uninitialised chars
BSTR SysAllocStringByteLen(const char* bytes, UINT len);
void SysFreeString(BSTR bstr);  // null is ignored
UINT SysStringLen(BSTR bstr);   // 0 for null
UINT SysStringByteLen(BSTR bstr);

namespace halcy {

// Owns one BSTR; for code that builds strings to hand across interfaces.
class ScopedBstr {
 public:
  ScopedBstr() = default;
  explicit ScopedBstr(std::u16string_view text);
  ~ScopedBstr() { SysFreeString(bstr_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;

  BSTR Get() const { return bstr_; }
  BSTR* Receive();  // frees the current string and returns the slot for an out-parameter
  BSTR Release();   // gives the string away
  void Reset(BSTR bstr = nullptr);
  std::u16string_view View() const { return {bstr_ ? bstr_ : u"", SysStringLen(bstr_)}; }

 private:
  BSTR bstr_ = nullptr;
};

// Hands `text` out through the out-parameter `out` as a new BSTR: E_POINTER for a null `out`,
// E_OUTOFMEMORY when the string cannot be made.
HRESULT CopyToBstr(std::u16string_view text, BSTR* out);
// The whole text of `bstr` (embedded NULs kept), "" for null.
std::u16string BstrText(BSTR bstr);

}  // namespace halcy
