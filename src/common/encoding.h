// Byte-string encoders shared by the module: standard Base64 (RFC 4648 alphabet) and lower-case
// hexadecimal.
//
//   Base64Encode("hello")                    -> "aGVsbG8="
//   Base64Encode(bytes, kBase64NoPadding)    -> no "=" at the end
//   HexEncodeLower("\x61\x00")               -> "6100"
//
// Unless suppressed, Base64 inserts a CR LF after every 76 output characters (padding
// included), so a text of exactly 76 characters ends in CR LF. Pure functions: safe from any
// thread.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

enum Base64Flags : unsigned {
  kBase64Default = 0,
  kBase64NoPadding = 1 << 0,
  kBase64NoLineBreaks = 1 << 1,
};

std::string Base64Encode(std::string_view bytes, unsigned flags = kBase64Default);

// Two digits from "0123456789abcdef" per byte, high nibble first.
std::string HexEncodeLower(std::string_view bytes);

}  // namespace Logic
