#include "json/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Logic {
namespace {

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

// The text being written, in a per-thread array that is reused from one document to the next:
// growing a fresh string by doubling for every document costs a page fault for every page of
// every step (twice the text's size at least), and the final copy into a string of exactly
// the right size is cheaper than that. Stores go through a raw pointer: the caller makes room
// first, so storing a character is one store and one increment.
class OutputBuffer {
 public:
  OutputBuffer() {
    scratch_ = &thread_scratch;
    if (scratch_->state == json_internal::BlockList::kUnused) {
      static thread_local ScratchReleaser releaser;
      scratch_->state = json_internal::BlockList::kInUse;
    }
    // A thread that is ending may have freed its array already; it gets one of its own.
    if (scratch_->state != json_internal::BlockList::kInUse) scratch_ = &own_scratch_;
  }
  ~OutputBuffer() {
    if (scratch_->capacity > kKeptUnits || scratch_ == &own_scratch_) {
      std::free(scratch_->units);
      scratch_->units = nullptr;
      scratch_->capacity = 0;
    }
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  std::u16string Text() const { return std::u16string(scratch_->units, used_); }

  // Makes room for `count` more code units and returns where they go.
  char16_t* Reserve(size_t count) {
    if (scratch_->capacity - used_ < count) Grow(count);
    return scratch_->units + used_;
  }
  // Records that `count` units were stored at the pointer Reserve returned.
  void Commit(size_t count) { used_ += count; }

  void Put(char16_t c) {
    *Reserve(1) = c;
    ++used_;
  }
  void PutAscii(std::string_view text) {
    char16_t* p = Reserve(text.size());
    for (char c : text) *p++ = static_cast<char16_t>(c);
    used_ += text.size();
  }
  void PutUnits(const char16_t* units, size_t count) {
    std::char_traits<char16_t>::copy(Reserve(count), units, count);
    used_ += count;
  }

 private:
  struct Scratch {
    char16_t* units;
    size_t capacity;
    json_internal::BlockList::State state;  // kDrained once the thread's exit handler ran.
  };
  // Frees the thread's array when the thread ends.
  struct ScratchReleaser {
    ~ScratchReleaser() {
      std::free(thread_scratch.units);
      thread_scratch = {nullptr, 0, json_internal::BlockList::kDrained};
    }
  };
  // An array kept between documents holds at most this many units (4 MiB): enough for the
  // extension database of a few thousand extensions; a larger one is freed after its document.
  static constexpr size_t kKeptUnits = size_t{1} << 21;
  static constexpr size_t kInitialUnits = 4096;
  // Plain data, so that it stays usable while the thread's other thread-local objects are
  // destroyed.
  static thread_local Scratch thread_scratch;

  void Grow(size_t count) {
    const size_t wanted = std::max({used_ + count, 2 * scratch_->capacity, kInitialUnits});
    void* grown = std::realloc(scratch_->units, wanted * sizeof(char16_t));
    if (!grown) throw std::bad_alloc();
    scratch_->units = static_cast<char16_t*>(grown);
    scratch_->capacity = wanted;
  }

  Scratch* scratch_;
  Scratch own_scratch_ = {nullptr, 0, json_internal::BlockList::kInUse};
  size_t used_ = 0;
};

thread_local OutputBuffer::Scratch OutputBuffer::thread_scratch = {
    nullptr, 0, json_internal::BlockList::kUnused};

// As `std::ostream << value` with default settings ("%.6g"). Integers below 10^6 and
// values whose rounding is certain are laid out here; the rest go to to_chars, which is
// specified to produce exactly the printf text whatever the locale, but is several times
// slower.
void WriteNumber(double value, OutputBuffer* out) {
  if (!std::isfinite(value)) {
    out->PutAscii("null");
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
  out->PutAscii(std::string_view(buffer, length));
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

bool NeedsEscape(char16_t c) { return c < 0x80 && kEscapes[c]; }

// The first code unit in [p, end) that is written escaped, or end. Eight at a time where SSE2
// is available.
const char16_t* FindEscaped(const char16_t* p, const char16_t* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi16(u'"');
  const __m128i solidus = _mm_set1_epi16(u'/');
  const __m128i backslash = _mm_set1_epi16(u'\\');
  const __m128i highest_control = _mm_set1_epi16(0x1F);
  for (; end - p >= 8; p += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // A unit is a control character when saturating subtraction of 0x1F leaves zero.
    const __m128i control =
        _mm_cmpeq_epi16(_mm_subs_epu16(units, highest_control), _mm_setzero_si128());
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, solidus)),
                     _mm_or_si128(_mm_cmpeq_epi16(units, backslash), control));
    if (const int mask = _mm_movemask_epi8(special)) {
      return p + __builtin_ctz(static_cast<unsigned>(mask)) / 2;
    }
  }
#endif
  while (p != end && !NeedsEscape(*p)) ++p;
  return p;
}

// Stores the escape for `c` (one that NeedsEscape) at `out` and returns its length: 2, or 6
// for the \u00XX form.
size_t FormatEscape(char16_t c, char16_t* out) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  out[0] = u'\\';
  out[1] = static_cast<char16_t>(kEscapes[c]);
  if (kEscapes[c] != 'u') return 2;
  out[2] = u'0';
  out[3] = u'0';
  out[4] = static_cast<char16_t>(kHexDigits[c >> 4]);
  out[5] = static_cast<char16_t>(kHexDigits[c & 0xF]);
  return 6;
}

void WriteEscaped(std::u16string_view text, OutputBuffer* out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  for (;;) {
    // Unchanged runs are copied whole.
    const char16_t* const special = FindEscaped(p, end);
    out->PutUnits(p, static_cast<size_t>(special - p));
    if (special == end) return;
    out->Commit(FormatEscape(*special, out->Reserve(6)));
    p = special + 1;
  }
}

void WriteString(std::u16string_view text, OutputBuffer* out) {
  out->Put(u'"');
  WriteEscaped(text, out);
  out->Put(u'"');
}

void WriteValue(const CJsonValue& value, OutputBuffer* out);

// Writing is bound by memory latency, not by work: every value is a node of its own. Asking
// for the next nodes ahead of time overlaps their fetch with writing the current one.
void Prefetch(const void* address) { __builtin_prefetch(address); }

// Second stage: once a node has arrived, ask for what writing it reads first.
void PrefetchContents(const CJsonValue& value) {
  if (value.IsObject() && !value.GetObject().empty()) {
    const auto& first = *value.GetObject().begin();
    Prefetch(&first);
    CJsonValue::PrefetchNode(first.second.get());
  } else if (value.IsString()) {
    Prefetch(value.GetString().data());
  }
}

void WriteArray(const CJsonValue::Array& elements, OutputBuffer* out) {
  constexpr size_t kNodeDistance = 4, kContentsDistance = 2;
  out->Put(u'[');
  for (size_t i = 0; i < elements.size() && i < kNodeDistance; ++i)
    CJsonValue::PrefetchNode(elements[i].get());
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i + kNodeDistance < elements.size())
      CJsonValue::PrefetchNode(elements[i + kNodeDistance].get());
    if (i + kContentsDistance < elements.size()) PrefetchContents(*elements[i + kContentsDistance]);
    if (i) out->Put(u',');
    WriteValue(*elements[i], out);
  }
  out->Put(u']');
}

void WriteObject(const CJsonValue::Object& members, OutputBuffer* out) {
  out->Put(u'{');
  for (auto it = members.begin(); it != members.end();) {
    const auto next = std::next(it);
    if (next != members.end()) {
      Prefetch(&*next);
      CJsonValue::PrefetchNode(next->second.get());
    }
    if (it != members.begin()) out->Put(u',');
    WriteString(it->first, out);
    out->Put(u':');
    WriteValue(*it->second, out);
    it = next;
  }
  out->Put(u'}');
}

void WriteValue(const CJsonValue& value, OutputBuffer* out) {
  switch (value.type()) {
    case kJsonString:
      WriteString(value.GetString(), out);
      return;
    case kJsonBool:
      out->PutAscii(value.GetBool() ? "true" : "false");
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
  out->PutAscii("null");
}

}  // namespace

void AppendJsonEscaped(std::u16string_view text, std::u16string* out) {
  // Appended to directly: the output buffer's spare room would cost a fill of the caller's
  // whole string on every call.
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  for (;;) {
    const char16_t* const special = FindEscaped(p, end);
    out->append(p, special);
    if (special == end) return;
    char16_t escape[6];
    out->append(escape, FormatEscape(*special, escape));
    p = special + 1;
  }
}

std::u16string ToJsonString(const CJsonValue& value) {
  OutputBuffer buffer;
  WriteValue(value, &buffer);
  return buffer.Text();
}

}  // namespace Logic
