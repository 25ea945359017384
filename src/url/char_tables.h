// The fixed 256-entry character tables of the URL canonicalizer (character classes, host
// characters, path characters) and the small byte helpers built on them.
// Compile-time constants: safe from any thread.
#pragma once

#include <array>
#include <cstdint>

namespace burl {

// ---- Character classes: one bit per property. ----
enum CharClassBit : uint8_t {
  kQuerySafe = 1 << 0,
  kUserInfoSafe = 1 << 1,
  kIPv4Char = 1 << 2,
  kHexDigit = 1 << 3,
  kDecDigit = 1 << 4,
  kOctDigit = 1 << 5,
};

namespace tables_internal {

constexpr bool InSet(unsigned c, const char* set) {
  for (; *set; ++set) {
    if (static_cast<unsigned char>(*set) == c) return true;
  }
  return false;
}

constexpr std::array<uint8_t, 256> MakeCharClass() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    uint8_t bits = 0;
    if (c >= '0' && c <= '7') {
      bits = 0x3F;
    } else if (c == '8' || c == '9') {
      bits = 0x1F;
    } else if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) {
      bits = 0x0F;
    } else if (c == '.' || c == 'X' || c == 'x') {
      bits = 0x07;
    } else if ((c >= 'G' && c <= 'Z') || (c >= 'g' && c <= 'z') || InSet(c, "!$%&'()*+,-_~")) {
      bits = 0x03;
    } else if (InSet(c, "/:;=?@[\\]^`{|}")) {
      bits = 0x01;
    }
    t[c] = bits;
  }
  return t;
}

// Host table values: the byte to write, or one of the two escape markers.
constexpr uint8_t kHostEscape = 0;         // written percent-escaped, host stays valid
constexpr uint8_t kHostEscapeInvalid = 1;  // written percent-escaped, host becomes invalid

constexpr std::array<uint8_t, 128> MakeHostTable() {
  std::array<uint8_t, 128> t{};
  for (unsigned c = 0; c < 128; ++c) {
    uint8_t v = kHostEscapeInvalid;
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || InSet(c, "+-.:[]_")) {
      v = static_cast<uint8_t>(c);
    } else if (c >= 'A' && c <= 'Z') {
      v = static_cast<uint8_t>(c - 'A' + 'a');
    } else if (c == ' ' || InSet(c, "!\"#$&'()*,<=>@`{|}")) {
      v = kHostEscape;
    }
    t[c] = v;
  }
  return t;
}

}  // namespace tables_internal

inline constexpr std::array<uint8_t, 256> kCharClass = tables_internal::MakeCharClass();

inline bool HasClass(unsigned char c, uint8_t bits) { return (kCharClass[c] & bits) != 0; }
inline bool IsHexDigit(unsigned char c) { return HasClass(c, kHexDigit); }
inline bool IsDecDigit(unsigned char c) { return HasClass(c, kDecDigit); }
inline bool IsAsciiAlpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline char AsciiToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Value of a hexadecimal digit; the caller has checked IsHexDigit.
inline int HexValue(unsigned char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// ---- Host characters (ASCII only; bytes from 0x80 take the international-name path). ----
inline constexpr std::array<uint8_t, 128> kHostTable = tables_internal::MakeHostTable();
inline constexpr uint8_t kHostEscape = tables_internal::kHostEscape;
inline constexpr uint8_t kHostEscapeInvalid = tables_internal::kHostEscapeInvalid;

// ---- Path characters. ----
enum PathFlag : uint8_t {
  kPathExamine = 1,  // not simply copied
  kPathEscape = 2,   // written percent-escaped (copied unchanged in file URLs)
  kPathDecode = 4,   // written plainly when found percent-escaped
  kPathInvalid = 8,  // makes the URL invalid
};

namespace tables_internal {
constexpr std::array<uint8_t, 256> MakePathTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    uint8_t v = kPathExamine | kPathEscape;
    if (c == 0) {
      v = kPathExamine | kPathInvalid;
    } else if (InSet(c, "!$&'()*+,/:;=@[]")) {
      v = 0;
    } else if (c == '.') {
      v = kPathExamine;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               InSet(c, "-_~")) {
      v = kPathDecode;
    }
    t[c] = v;
  }
  return t;
}
}  // namespace tables_internal

inline constexpr std::array<uint8_t, 256> kPathTable = tables_internal::MakePathTable();

inline bool IsSlash(char c) { return c == '/' || c == '\\'; }

}  // namespace burl
