#include "platform/strings.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace halcy {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Decodes one multi-byte sequence starting at bytes[i] (a byte >= 0x80). Returns the number of
// bytes consumed; `*code_point` is the decoded value, or U+FFFD for an ill-formed subsequence,
// which then covers only the bytes that could still have begun a valid sequence.
size_t DecodeSequence(std::string_view bytes, size_t i, char32_t* code_point) {
  const uint8_t lead = static_cast<uint8_t>(bytes[i]);
  size_t length;
  char32_t value;
  // The range of the second byte is narrower for a few lead bytes: that is what rules out
  // overlong forms, surrogates and values above U+10FFFF.
  uint8_t second_low = 0x80, second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    *code_point = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (; used < length; ++used) {
    if (i + used >= bytes.size()) break;
    const uint8_t byte = static_cast<uint8_t>(bytes[i + used]);
    const bool in_range =
        used == 1 ? (byte >= second_low && byte <= second_high) : IsContinuation(byte);
    if (!in_range) break;
    value = (value << 6) | (byte & 0x3F);
  }
  *code_point = used == length ? value : kReplacement;
  return used;
}

void AppendUtf16(char32_t code_point, std::u16string* out) {
  if (code_point < 0x10000) {
    out->push_back(static_cast<char16_t>(code_point));
  } else {
    code_point -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  // UTF-16 never needs more code units than UTF-8 has bytes.
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    // Runs of ASCII, the bulk of JSON text, are copied eight bytes per test.
    while (i + 8 <= bytes.size()) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof(word));
      if (word & 0x8080808080808080ull) break;
      for (size_t k = 0; k < 8; ++k) out.push_back(static_cast<char16_t>(bytes[i + k]));
      i += 8;
    }
    if (i >= bytes.size()) break;
    const uint8_t byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80) {
      out.push_back(byte);
      ++i;
      continue;
    }
    char32_t code_point;
    i += DecodeSequence(bytes, i, &code_point);
    AppendUtf16(code_point, &out);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      const bool paired =
          c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
      if (paired) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string AsciiToLower(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return out;
}

}  // namespace halcy
