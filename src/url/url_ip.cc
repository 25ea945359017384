#include "url/url_ip.h"

#include "url/canon_output.h"
#include "url/char_tables.h"

namespace burl {

namespace {

bool ParseIPv4Number(std::string_view s, uint64_t* value) {
  if (s.empty()) return false;
  uint32_t base = 10;
  size_t i = 0;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
    if (i == s.size()) return false;
  } else if (s.size() >= 2 && s[0] == '0') {
    base = 8;
    i = 1;
  }
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    uint8_t need = base == 16 ? kHexDigit : (base == 10 ? kDecDigit : kOctDigit);
    if (!HasClass(c, need)) return false;
    v = v * base + static_cast<uint64_t>(HexValue(c));
    if (v > 0xFFFFFFFFull) return false;
  }
  *value = v;
  return true;
}

// Parses 1 to 4 hexadecimal digits at `*pos`.
bool ParseHexGroup(std::string_view text, size_t* pos, uint16_t* group) {
  size_t i = *pos;
  uint32_t v = 0;
  while (i < text.size() && i - *pos < 4 && IsHexDigit(static_cast<unsigned char>(text[i]))) {
    v = v * 16 + static_cast<uint32_t>(HexValue(static_cast<unsigned char>(text[i])));
    ++i;
  }
  if (i == *pos) return false;
  *group = static_cast<uint16_t>(v);
  *pos = i;
  return true;
}

// Parses a dotted-decimal IPv4 tail ("a.b.c.d", each 0..255) into two groups.
bool ParseIPv4Tail(std::string_view text, uint16_t* high, uint16_t* low) {
  uint32_t parts[4];
  int count = 0;
  size_t i = 0;
  while (count < 4) {
    size_t start = i;
    uint32_t v = 0;
    while (i < text.size() && i - start < 3 && IsDecDigit(static_cast<unsigned char>(text[i]))) {
      v = v * 10 + static_cast<uint32_t>(text[i] - '0');
      ++i;
    }
    if (i == start || v > 255) return false;
    parts[count++] = v;
    if (count < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  *high = static_cast<uint16_t>(parts[0] << 8 | parts[1]);
  *low = static_cast<uint16_t>(parts[2] << 8 | parts[3]);
  return true;
}

}  // namespace

bool ParseIPv4(std::string_view host, uint32_t* address) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!HasClass(static_cast<unsigned char>(c), kIPv4Char)) return false;
  }
  uint64_t numbers[4];
  int count = 0;
  size_t start = 0;
  while (true) {
    size_t dot = host.find('.', start);
    std::string_view part = host.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (count == 4 || !ParseIPv4Number(part, &numbers[count])) return false;
    ++count;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  uint64_t result = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (numbers[i] > 255) return false;
    result |= numbers[i] << (8 * (3 - i));
  }
  const int remaining_bytes = 5 - count;
  if (numbers[count - 1] >= (1ull << (8 * remaining_bytes))) return false;
  *address = static_cast<uint32_t>(result | numbers[count - 1]);
  return true;
}

void AppendIPv4(uint32_t address, CanonOutput* out) {
  for (int i = 3; i >= 0; --i) {
    out->AppendDecimal((address >> (8 * i)) & 0xFF);
    if (i > 0) out->push_back('.');
  }
}

bool ParseIPv6(std::string_view text, uint16_t groups[8]) {
  uint16_t parsed[8] = {};
  int count = 0;
  int compress_at = -1;
  size_t i = 0;
  if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
    compress_at = 0;
    i = 2;
  }
  while (i < text.size()) {
    if (count == 8) return false;
    std::string_view rest = text.substr(i);
    if (rest.substr(0, rest.find(':')).find('.') != std::string_view::npos) {
      // An IPv4 tail must end the address and needs room for two groups.
      if (count > 6 || !ParseIPv4Tail(rest, &parsed[count], &parsed[count + 1])) return false;
      count += 2;
      break;
    }
    if (!ParseHexGroup(text, &i, &parsed[count])) return false;
    ++count;
    if (i == text.size()) break;
    if (text[i] != ':') return false;
    ++i;
    if (i < text.size() && text[i] == ':') {
      if (compress_at >= 0) return false;
      compress_at = count;
      ++i;
    } else if (i == text.size()) {
      return false;  // a single trailing ":"
    }
  }
  if (compress_at < 0 ? count != 8 : count > 7) return false;
  int zeros = 8 - count;
  for (int g = 0, src = 0; g < 8; ++g) {
    if (compress_at >= 0 && g >= compress_at && g < compress_at + zeros) {
      groups[g] = 0;
    } else {
      groups[g] = parsed[src++];
    }
  }
  return true;
}

void AppendIPv6(const uint16_t groups[8], CanonOutput* out) {
  int best_start = -1;
  int best_len = 1;  // only runs of two or more zero groups are compressed
  for (int g = 0; g < 8;) {
    if (groups[g] != 0) {
      ++g;
      continue;
    }
    int start = g;
    while (g < 8 && groups[g] == 0) ++g;
    if (g - start > best_len) {
      best_start = start;
      best_len = g - start;
    }
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (int g = 0; g < 8; ++g) {
    if (g == best_start) {
      out->Append("::");
      g += best_len - 1;
      continue;
    }
    if (g > 0 && g != best_start + best_len) out->push_back(':');
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned nibble = (groups[g] >> shift) & 0xF;
      if (nibble == 0 && !started && shift > 0) continue;
      started = true;
      out->push_back(kHex[nibble]);
    }
  }
}

}  // namespace burl
