#include "url/url_utf.h"

#include "url/canon_output.h"

namespace burl {

namespace {

// Encodes into `buf` (4 bytes at least); returns the byte count.
int EncodeUtf8(uint32_t cp, char* buf) {
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  buf[0] = static_cast<char>(0xF0 | (cp >> 18));
  buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

bool ReadUtf8Char(const char* text, int32_t end, int32_t* pos, uint32_t* code_point) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  int32_t i = *pos;
  unsigned char lead = s[i];
  if (lead < 0x80) {
    *code_point = lead;
    *pos = i + 1;
    return true;
  }
  int count;
  uint32_t cp;
  uint32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    *pos = i + 1;  // stray continuation byte, overlong lead C0/C1, or F5..FF
    return false;
  }
  if (end - i - 1 < count) {
    *pos = i + 1;
    return false;
  }
  for (int k = 1; k <= count; ++k) {
    unsigned char b = s[i + k];
    if ((b & 0xC0) != 0x80) {
      *pos = i + 1;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *pos = i + 1;
    return false;
  }
  *code_point = cp;
  *pos = i + 1 + count;
  return true;
}

void AppendUtf8(uint32_t code_point, std::string* out) {
  char buf[4];
  out->append(buf, static_cast<size_t>(EncodeUtf8(code_point, buf)));
}

void AppendUtf8(uint32_t code_point, CanonOutput* out) {
  char buf[4];
  out->Append(std::string_view(buf, static_cast<size_t>(EncodeUtf8(code_point, buf))));
}

bool AppendUtf8Escaped(const char* text, int32_t end, int32_t* pos, CanonOutput* out) {
  int32_t start = *pos;
  uint32_t cp;
  bool ok = ReadUtf8Char(text, end, pos, &cp);
  // A valid sequence is written as its own bytes; an invalid one as its first byte.
  for (int32_t i = start; i < *pos; ++i) out->AppendEscaped(static_cast<unsigned char>(text[i]));
  return ok;
}

std::string WideToUtf8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

}  // namespace burl
