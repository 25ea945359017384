#include "url/url_host.h"

#include <string>
#include <string_view>
#include <vector>

#include "url/canon_output.h"
#include "url/char_tables.h"
#include "url/punycode.h"
#include "url/url_ip.h"
#include "url/url_utf.h"

namespace burl {

namespace {

// Maps ASCII host text through the host table. Bytes from 0x80 up are escaped and invalid.
bool AppendHostAscii(std::string_view in, CanonOutput* out) {
  bool valid = true;
  for (char ch : in) {
    auto c = static_cast<unsigned char>(ch);
    uint8_t v = c < 0x80 ? kHostTable[c] : kHostEscapeInvalid;
    if (v > kHostEscapeInvalid) {
      out->push_back(static_cast<char>(v));
      if (c == ':') valid = false;
    } else {
      out->AppendEscaped(c);
      if (v == kHostEscapeInvalid) valid = false;
    }
  }
  return valid;
}

// Reads a percent escape at in[i] into `*byte`.
bool ReadEscape(std::string_view in, size_t i, unsigned char* byte) {
  if (in[i] != '%' || i + 2 >= in.size()) return false;
  auto high = static_cast<unsigned char>(in[i + 1]);
  auto low = static_cast<unsigned char>(in[i + 2]);
  if (!IsHexDigit(high) || !IsHexDigit(low)) return false;
  *byte = static_cast<unsigned char>(HexValue(high) * 16 + HexValue(low));
  return true;
}

// The host text copied back when it cannot be converted: existing escapes are kept (with
// upper-case digits), bytes from 0x80 are escaped, the rest goes through the host table.
void AppendHostFallback(std::string_view in, CanonOutput* out) {
  for (size_t i = 0; i < in.size(); ++i) {
    unsigned char byte;
    if (ReadEscape(in, i, &byte)) {
      out->AppendEscaped(byte);
      i += 2;
    } else {
      AppendHostAscii(in.substr(i, 1), out);
    }
  }
}

std::string DecodeEscapes(std::string_view in) {
  std::string decoded;
  decoded.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    unsigned char byte;
    if (ReadEscape(in, i, &byte)) {
      decoded.push_back(static_cast<char>(byte));
      i += 2;
    } else {
      decoded.push_back(in[i]);
    }
  }
  return decoded;
}

// Appends one label of decoded text: ASCII as it is, anything else as "xn--" Punycode.
bool AppendLabel(std::string_view label, std::vector<uint32_t>* scratch, std::string* ascii) {
  bool has_non_ascii = false;
  for (char c : label) has_non_ascii |= static_cast<unsigned char>(c) >= 0x80;
  if (!has_non_ascii) {
    ascii->append(label);
    return true;
  }
  scratch->clear();
  const auto end = static_cast<int32_t>(label.size());
  for (int32_t pos = 0; pos < end;) {
    uint32_t cp;
    if (!ReadUtf8Char(label.data(), end, &pos, &cp)) return false;
    scratch->push_back(cp);
  }
  ascii->append("xn--");
  return PunycodeEncode(scratch->data(), scratch->size(), kMaxIdnLabelBytes - 4, ascii);
}

// Host text holding escapes or non-ASCII bytes.
bool AppendEncodedHost(std::string_view in, CanonOutput* out) {
  std::string decoded = DecodeEscapes(in);
  std::string ascii;
  ascii.reserve(decoded.size() + 8);
  std::vector<uint32_t> scratch;
  size_t start = 0;
  while (true) {
    size_t dot = decoded.find('.', start);
    size_t len = dot == std::string::npos ? std::string::npos : dot - start;
    if (!AppendLabel(std::string_view(decoded).substr(start, len), &scratch, &ascii)) {
      AppendHostFallback(in, out);
      return false;
    }
    if (dot == std::string::npos) break;
    ascii.push_back('.');
    start = dot + 1;
  }
  return AppendHostAscii(ascii, out);
}

bool AppendBracketedHost(std::string_view in, CanonOutput* out, HostKind* kind) {
  uint16_t groups[8];
  if (in.size() >= 2 && in.back() == ']' && ParseIPv6(in.substr(1, in.size() - 2), groups)) {
    out->push_back('[');
    AppendIPv6(groups, out);
    out->push_back(']');
    *kind = HostKind::kIPv6;
    return true;
  }
  AppendHostAscii(in, out);
  return false;
}

}  // namespace

bool CanonicalizeHost(const char* text, const Component& host, CanonOutput* out,
                      Component* out_host, HostKind* kind) {
  *kind = HostKind::kName;
  const int32_t begin = out->length();
  if (!host.is_nonempty()) {
    *out_host = Component(begin, host.is_present() ? 0 : -1);
    return true;
  }
  std::string_view in(text + host.begin, static_cast<size_t>(host.len));
  bool valid;
  if (in.front() == '[') {
    valid = AppendBracketedHost(in, out, kind);
  } else {
    bool needs_decoding = false;
    for (char c : in) needs_decoding |= c == '%' || static_cast<unsigned char>(c) >= 0x80;
    valid = needs_decoding ? AppendEncodedHost(in, out) : AppendHostAscii(in, out);
    uint32_t address;
    if (valid && ParseIPv4(out->view(begin, out->length() - begin), &address)) {
      out->Truncate(begin);
      AppendIPv4(address, out);
      *kind = HostKind::kIPv4;
    }
  }
  *out_host = Component(begin, out->length() - begin);
  return valid;
}

}  // namespace burl
