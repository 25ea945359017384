// Conversions between UTF-8 bytes (files, the terminal) and the UTF-16 text the JSON code
// works on.
//
// Both directions are total: malformed input never fails, it is replaced. Each maximal
// ill-formed subsequence of the UTF-8 input (a stray continuation byte, a lead byte without
// enough continuations, an overlong form, an encoded surrogate, anything above U+10FFFF)
// becomes one U+FFFD, the way the platform's own UTF-8 decoder treats it; a lone surrogate in
// UTF-16 input is written as the UTF-8 form of U+FFFD.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

std::u16string DecodeUtf8ToUtf16(std::string_view bytes);
std::string EncodeUtf16ToUtf8(std::u16string_view text);

}  // namespace Logic
