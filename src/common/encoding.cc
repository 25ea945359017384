#include "common/encoding.h"

#include <cstdint>

namespace Logic {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64LineChars = 76;

// Appends one output character, with a line break after every 76 of them.
void Put(char c, bool line_breaks, size_t* line, std::string* out) {
  out->push_back(c);
  if (line_breaks && ++*line == kBase64LineChars) {
    out->append("\r\n");
    *line = 0;
  }
}

}  // namespace

std::string Base64Encode(std::string_view bytes, unsigned flags) {
  const bool padding = !(flags & kBase64NoPadding);
  const bool line_breaks = !(flags & kBase64NoLineBreaks);
  std::string out;
  const size_t chars = (bytes.size() + 2) / 3 * 4;
  out.reserve(chars + (line_breaks ? chars / kBase64LineChars * 2 : 0));
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
    if (n > 1) group |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    if (n > 2) group |= static_cast<uint8_t>(bytes[i + 2]);
    for (size_t k = 0; k < 4; ++k) {
      if (k <= n) {
        Put(kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F], line_breaks, &line, &out);
      } else if (padding) {
        Put('=', line_breaks, &line, &out);
      }
    }
  }
  return out;
}

std::string HexEncodeLower(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace Logic
