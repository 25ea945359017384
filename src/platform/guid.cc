#include "platform/guid.h"

#include <cstdio>

namespace halcy {
namespace {

int HexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

template <class Char>
bool ParseGuidChars(std::basic_string_view<Char> text, GUID* out) {
  if (!out) return false;
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return false;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  int nibbles = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      continue;
    }
    int v = HexValue(static_cast<char32_t>(text[i]));
    if (v < 0) return false;
    uint8_t& b = bytes[nibbles / 2];
    b = (nibbles % 2 == 0) ? static_cast<uint8_t>(v << 4) : static_cast<uint8_t>(b | v);
    ++nibbles;
  }
  out->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
               bytes[3];
  out->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  out->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) out->Data4[i] = bytes[8 + i];
  return true;
}

}  // namespace

bool ParseGuid(std::u16string_view text, GUID* out) { return ParseGuidChars(text, out); }
bool ParseGuid(std::string_view text, GUID* out) { return ParseGuidChars(text, out); }

std::string GuidToNarrowString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::u16string GuidToString(const GUID& guid) {
  std::string narrow = GuidToNarrowString(guid);
  return std::u16string(narrow.begin(), narrow.end());
}

}  // namespace halcy

HRESULT CLSIDFromString(LPCWSTR text, CLSID* out) {
  if (!text || !out) return E_INVALIDARG;
  if (!halcy::ParseGuid(std::u16string_view(text), out)) {
    *out = GUID_NULL;
    return static_cast<HRESULT>(0x800401F3);  // CO_E_CLASSSTRING
  }
  return S_OK;
}

int StringFromGUID2(const GUID& guid, LPWSTR buffer, int chars) {
  if (!buffer || chars < 39) return 0;
  std::u16string s = halcy::GuidToString(guid);
  s.copy(buffer, s.size());
  buffer[s.size()] = u'\0';
  return static_cast<int>(s.size() + 1);
}
