// Conversions between UTF-8 bytes (files, the terminal) and the UTF-16 text the JSON code
// works on: the platform's converters under the names the JSON code and its tools use.
//
// Both directions are total: malformed input never fails, it is replaced. Each maximal
// ill-formed subsequence of the UTF-8 input (a stray continuation byte, a lead byte without
// enough continuations, an overlong form, an encoded surrogate, anything above U+10FFFF)
// becomes one U+FFFD; a lone surrogate in UTF-16 input is written as the UTF-8 form of U+FFFD.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/strings.h"

namespace Logic {

inline std::u16string DecodeUtf8ToUtf16(std::string_view bytes) {
  return halcy::Utf8ToUtf16(bytes);
}
inline std::string EncodeUtf16ToUtf8(std::u16string_view text) { return halcy::Utf16ToUtf8(text); }

}  // namespace Logic
