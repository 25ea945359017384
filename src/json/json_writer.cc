#include "json/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace Logic {
namespace {

void AppendAscii(std::string_view text, std::u16string* out) {
  out->append(text.begin(), text.end());
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Rounds `magnitude` (finite, > 0) to six significant digits: `*digits` in [100000, 999999]
// and `*exponent` the decimal exponent of the first digit. Scaling by an exact power of ten
// costs one rounding, at most half a unit in the last place of a number below 2^20, so
// unless the scaled value lies within 1e-9 of a rounding boundary the rounding is certain.
// Returns false when it is not (exact ties included) or the exponent is out of reach.
bool RoundToSixDigits(double magnitude, uint32_t* digits, int* exponent) {
  int k = static_cast<int>(std::floor(std::log10(magnitude)));
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (k < -17 || k > 27) return false;
    const double scaled =
        k <= 5 ? magnitude * kPowersOfTen[5 - k] : magnitude / kPowersOfTen[k - 5];
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;  // Exact: both are below 2^20.
    if (std::fabs(fraction - 0.5) < 1e-9) return false;
    uint32_t rounded = static_cast<uint32_t>(whole) + (fraction > 0.5 ? 1 : 0);
    if (rounded < 100000) {  // log10 overestimated the exponent.
      --k;
      continue;
    }
    if (rounded > 1000000) {  // log10 underestimated the exponent.
      ++k;
      continue;
    }
    if (rounded == 1000000) {  // 999999.5 up to 1000000.5 round to the next power of ten.
      rounded = 100000;
      ++k;
    }
    *digits = rounded;
    *exponent = k;
    return true;
  }
  return false;
}

// Lays out six significant digits the way "%.6g" does: fixed notation for exponents -4 to 5,
// otherwise d.ddddde+XX; trailing zeros of the fraction (and a bare point) removed.
size_t LayOutGeneral(bool negative, uint32_t digits, int exponent, char* out) {
  char d[6];
  for (int i = 5; i >= 0; --i, digits /= 10) d[i] = static_cast<char>('0' + digits % 10);
  int significant = 6;
  while (significant > 1 && d[significant - 1] == '0') --significant;
  char* p = out;
  if (negative) *p++ = '-';
  if (exponent >= 0 && exponent < 6) {
    for (int i = 0; i <= exponent; ++i) *p++ = d[i];
    if (significant > exponent + 1) {
      *p++ = '.';
      for (int i = exponent + 1; i < significant; ++i) *p++ = d[i];
    }
  } else if (exponent < 0 && exponent >= -4) {
    *p++ = '0';
    *p++ = '.';
    for (int i = -1; i > exponent; --i) *p++ = '0';
    for (int i = 0; i < significant; ++i) *p++ = d[i];
  } else {
    *p++ = d[0];
    if (significant > 1) {
      *p++ = '.';
      for (int i = 1; i < significant; ++i) *p++ = d[i];
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int e = exponent < 0 ? -exponent : exponent;
    if (e >= 100) *p++ = static_cast<char>('0' + e / 100);
    *p++ = static_cast<char>('0' + e / 10 % 10);
    *p++ = static_cast<char>('0' + e % 10);
  }
  return static_cast<size_t>(p - out);
}

// As `std::ostream << value` with default settings ("%.6g"). Integers below 10^6 and
// values whose rounding is certain are laid out here; the rest go to to_chars, which is
// specified to produce exactly the printf text whatever the locale, but is several times
// slower.
void WriteNumber(double value, std::u16string* out) {
  if (!std::isfinite(value)) {
    AppendAscii("null", out);
    return;
  }
  char buffer[32];
  size_t length;
  const double magnitude = std::fabs(value);
  uint32_t digits;
  int exponent;
  if (magnitude < 1e6 && magnitude == std::floor(magnitude)) {
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), static_cast<int32_t>(value));
    length = static_cast<size_t>(result.ptr - buffer);
    if (value == 0 && std::signbit(value)) buffer[0] = '-', buffer[1] = '0', length = 2;
  } else if (RoundToSixDigits(magnitude, &digits, &exponent)) {
    length = LayOutGeneral(value < 0, digits, exponent, buffer);
  } else {
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 6);
    length = static_cast<size_t>(result.ptr - buffer);
  }
  AppendAscii(std::string_view(buffer, length), out);
}

void WriteString(std::u16string_view text, std::u16string* out) {
  out->push_back(u'"');
  AppendJsonEscaped(text, out);
  out->push_back(u'"');
}

void WriteValue(const CJsonValue& value, std::u16string* out);

// Writing is bound by memory latency, not by work: every value is a node of its own. Asking
// for the next nodes ahead of time overlaps their fetch with writing the current one.
void Prefetch(const void* address) { __builtin_prefetch(address); }

// Second stage: once a node has arrived, ask for what writing it reads first.
void PrefetchContents(const CJsonValue& value) {
  if (value.IsObject() && !value.GetObject().empty()) {
    const auto& first = *value.GetObject().begin();
    Prefetch(&first);
    Prefetch(first.second.get());
  } else if (value.IsString()) {
    Prefetch(value.GetString().data());
  }
}

void WriteArray(const CJsonValue::Array& elements, std::u16string* out) {
  constexpr size_t kNodeDistance = 4, kContentsDistance = 2;
  out->push_back(u'[');
  for (size_t i = 0; i < elements.size() && i < kNodeDistance; ++i) Prefetch(elements[i].get());
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i + kNodeDistance < elements.size()) Prefetch(elements[i + kNodeDistance].get());
    if (i + kContentsDistance < elements.size()) PrefetchContents(*elements[i + kContentsDistance]);
    if (i) out->push_back(u',');
    WriteValue(*elements[i], out);
  }
  out->push_back(u']');
}

void WriteObject(const CJsonValue::Object& members, std::u16string* out) {
  out->push_back(u'{');
  for (auto it = members.begin(); it != members.end();) {
    const auto next = std::next(it);
    if (next != members.end()) {
      Prefetch(&*next);
      Prefetch(next->second.get());
    }
    if (it != members.begin()) out->push_back(u',');
    WriteString(it->first, out);
    out->push_back(u':');
    WriteValue(*it->second, out);
    it = next;
  }
  out->push_back(u'}');
}

void WriteValue(const CJsonValue& value, std::u16string* out) {
  switch (value.type()) {
    case kJsonString:
      WriteString(value.GetString(), out);
      return;
    case kJsonBool:
      AppendAscii(value.GetBool() ? "true" : "false", out);
      return;
    case kJsonNumber:
      WriteNumber(value.GetNumber(), out);
      return;
    case kJsonArray:
      WriteArray(value.GetArray(), out);
      return;
    case kJsonObject:
      WriteObject(value.GetObject(), out);
      return;
    case kJsonNull:
      break;
  }
  AppendAscii("null", out);
}

// The character written after the backslash for each code unit below 0x80, 'u' for the
// \u00XX form, 0 for a code unit written unchanged. Every code unit from 0x80 up is unchanged.
constexpr std::array<char, 128> MakeEscapeTable() {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['/'] = '/';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 128> kEscapes = MakeEscapeTable();

}  // namespace

void AppendJsonEscaped(std::u16string_view text, std::u16string* out) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const char16_t* run = text.data();
  const char16_t* const end = text.data() + text.size();
  for (const char16_t* p = run; p != end; ++p) {
    const char16_t c = *p;
    if (c >= 0x80 || !kEscapes[c]) continue;
    // Unchanged runs are appended whole.
    out->append(run, p);
    run = p + 1;
    const char16_t escape[] = {u'\\',
                               static_cast<char16_t>(kEscapes[c]),
                               u'0',
                               u'0',
                               static_cast<char16_t>(kHexDigits[c >> 4]),
                               static_cast<char16_t>(kHexDigits[c & 0xF])};
    out->append(escape, kEscapes[c] == 'u' ? 6 : 2);
  }
  out->append(run, end);
}

std::u16string ToJsonString(const CJsonValue& value) {
  std::u16string out;
  WriteValue(value, &out);
  return out;
}

}  // namespace Logic
