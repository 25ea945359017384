#include "json/json_reader.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/utf8_text.h"

namespace Logic {
namespace {

using ValuePtr = std::unique_ptr<CJsonValue>;

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsWhitespace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Exact powers of ten: every double up to 1e22 is exact, which makes the fast path below
// correctly rounded (one exact operand, one rounding).
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Converts the already validated number text [begin, end) to the nearest double. Values too
// large for a double become an infinity and values too small a zero, with the text's sign.
double ConvertNumberText(const char16_t* begin, const char16_t* end) {
  std::string narrow(begin, end);  // ASCII only: the grammar was checked by the caller.
  double value = 0.0;
  const auto result = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
  if (result.ec != std::errc::result_out_of_range) return value;
  // Out of range: the decimal exponent of the first significant digit decides which way.
  long magnitude = 0;
  bool seen_point = false, seen_significant = false;
  size_t i = narrow[0] == '-' ? 1 : 0;
  for (; i < narrow.size() && narrow[i] != 'e' && narrow[i] != 'E'; ++i) {
    if (narrow[i] == '.') {
      seen_point = true;
    } else if (!seen_significant && narrow[i] == '0') {
      if (seen_point) --magnitude;
    } else {
      seen_significant = true;
      if (!seen_point) ++magnitude;
    }
  }
  long exponent = 0;
  if (i < narrow.size()) {
    const char* digits = narrow.data() + i + 1;
    const bool negative_exponent = *digits == '-';
    if (*digits == '-' || *digits == '+') ++digits;
    // An exponent too long for a long only needs its sign here.
    if (std::from_chars(digits, narrow.data() + narrow.size(), exponent).ec != std::errc()) {
      exponent = 1000000;
    }
    if (exponent > 1000000) exponent = 1000000;
    if (negative_exponent) exponent = -exponent;
  }
  const double magnitude_value =
      seen_significant && magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return narrow[0] == '-' ? -magnitude_value : magnitude_value;
}

// Recursive-descent reader over NUL-terminated UTF-16 text with a single forward pointer.
// Every Read* function starts at the first character of its construct and leaves the pointer
// just past it; failure returns null (or false) and abandons the whole read.
class JsonReader {
 public:
  // `text` is NUL-terminated and `length` units long (the first NUL may come earlier).
  JsonReader(const char16_t* text, size_t length) : p_(text), end_(text + length) {
    // A thread that is ending may have freed its stack already; it gets one of its own.
    pending_ = json_internal::ThisThreadNodeStack();
    if (!pending_) pending_ = &own_pending_;
    base_ = pending_->size;
  }
  ~JsonReader() {
    // A failed read leaves its elements behind.
    pending_->DestroyFrom(base_);
    std::free(own_pending_.nodes);
  }
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  ValuePtr ReadDocument() {
    SkipWhitespace();
    if (*p_ == 0) return nullptr;
    // Whatever follows the value is not looked at.
    return ReadValue(0);
  }

 private:
  void SkipWhitespace() {
    while (IsWhitespace(*p_)) ++p_;
  }

  // Advances over the code units that a string copies as they are: all but the quotation mark,
  // the backslash and those below U+0020. Eight at a time where SSE2 is available; vector
  // loads stay below end_.
  void SkipPlainStringUnits() {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi16(u'"');
    const __m128i backslash = _mm_set1_epi16(u'\\');
    const __m128i highest_control = _mm_set1_epi16(0x1F);
    while (end_ - p_ >= 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      // A unit is a control character when saturating subtraction of 0x1F leaves zero.
      const __m128i control =
          _mm_cmpeq_epi16(_mm_subs_epu16(units, highest_control), _mm_setzero_si128());
      const __m128i special = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, backslash)), control);
      const int mask = _mm_movemask_epi8(special);
      if (mask) {
        p_ += __builtin_ctz(static_cast<unsigned>(mask)) / 2;
        return;
      }
      p_ += 8;
    }
#endif
    while (*p_ != u'"' && *p_ != u'\\' && *p_ >= 0x20) ++p_;
  }

  // True (and advances) when the next characters spell `lower` in any letter case. The NUL
  // terminator matches no letter, so a cut-off literal fails here.
  bool MatchLiteral(std::u16string_view lower) {
    for (size_t i = 0; i < lower.size(); ++i) {
      // Setting bit 5 folds exactly the ASCII upper-case letters onto the lower-case ones.
      if ((p_[i] | 0x20) != lower[i]) return false;
    }
    p_ += lower.size();
    return true;
  }

  // `depth` counts the containers enclosing the value. The first character decides; the
  // literals are recognised in any letter case.
  ValuePtr ReadValue(int depth) {
    switch (*p_) {
      case u'"': {
        std::u16string text;
        if (!ReadString(&text)) return nullptr;
        return std::make_unique<CJsonValue>(std::move(text));
      }
      case u't':
      case u'T':
        return MatchLiteral(u"true") ? std::make_unique<CJsonValue>(true) : nullptr;
      case u'f':
      case u'F':
        return MatchLiteral(u"false") ? std::make_unique<CJsonValue>(false) : nullptr;
      case u'n':
      case u'N':
        return MatchLiteral(u"null") ? std::make_unique<CJsonValue>() : nullptr;
      case u'{':
      case u'[':
        // The reader recurses once per level: refuse to go deeper than kJsonMaxDepth so that
        // hostile input such as 100000 opening brackets fails instead of overflowing the stack.
        if (depth >= kJsonMaxDepth) return nullptr;
        return *p_ == u'{' ? ReadObject(depth + 1) : ReadArray(depth + 1);
      default:
        if (*p_ == u'-' || IsDigit(*p_)) return ReadNumber();
        return nullptr;
    }
  }

  bool ReadString(std::u16string* out);
  bool ReadKey(std::u16string_view* key, std::u16string* decoded);
  bool ReadEscape(std::u16string* out);
  ValuePtr ReadNumber();
  ValuePtr ReadArray(int depth);
  ValuePtr ReadObject(int depth);

  const char16_t* p_;
  const char16_t* const end_;  // Bounds the vector loads only; the text ends at its first NUL.
  // Elements of the arrays being read, innermost array last, from base_ up.
  json_internal::NodeStack* pending_;
  json_internal::NodeStack own_pending_ = {nullptr, 0, 0, json_internal::BlockList::kInUse};
  size_t base_;
};

// At the opening quotation mark of a member name. A name without escapes (nearly all) is
// viewed in place in the text; one with escapes is decoded into `decoded`, which the view then
// refers to. The caller owns `decoded` so that keys of nested objects cannot overwrite it.
bool JsonReader::ReadKey(std::u16string_view* key, std::u16string* decoded) {
  const char16_t* const quote = p_;
  ++p_;
  SkipPlainStringUnits();
  if (*p_ == u'"') {
    *key = std::u16string_view(quote + 1, static_cast<size_t>(p_ - quote - 1));
    ++p_;
    return true;
  }
  p_ = quote;
  decoded->clear();
  if (!ReadString(decoded)) return false;
  *key = *decoded;
  return true;
}

// At the opening quotation mark. Appends the decoded text to `out`. Unescaped runs are copied
// whole, so into an empty string a string without escapes costs one allocation of exactly its
// size (none when it is short).
bool JsonReader::ReadString(std::u16string* out) {
  ++p_;
  const char16_t* run = p_;
  for (;;) {
    SkipPlainStringUnits();
    const char16_t c = *p_;
    if (c == u'"') {
      out->append(run, p_);
      ++p_;
      return true;
    }
    if (c == u'\\') {
      out->append(run, p_);
      ++p_;
      if (!ReadEscape(out)) return false;
      run = p_;
      continue;
    }
    // Below U+0020: raw control characters fail, TAB excepted; NUL is the end of the text.
    if (c != u'\t') return false;
    ++p_;
  }
}

// Just past the backslash.
bool JsonReader::ReadEscape(std::u16string* out) {
  const char16_t c = *p_;
  char16_t decoded;
  switch (c) {
    case u'"':
    case u'\'':
    case u'/':
    case u'\\':
      decoded = c;
      break;
    case u'b':
      decoded = u'\b';
      break;
    case u'f':
      decoded = u'\f';
      break;
    case u'n':
      decoded = u'\n';
      break;
    case u'r':
      decoded = u'\r';
      break;
    case u't':
      decoded = u'\t';
      break;
    case u'u': {
      // Exactly four hex digits, one code unit; surrogate halves are stored as they come.
      // The NUL terminator is not a hex digit, so a short escape fails without overrunning.
      unsigned unit = 0;
      for (int i = 1; i <= 4; ++i) {
        const int digit = HexDigitValue(p_[i]);
        if (digit < 0) return false;
        unit = unit * 16 + static_cast<unsigned>(digit);
      }
      p_ += 4;
      decoded = static_cast<char16_t>(unit);
      break;
    }
    default:
      return false;
  }
  out->push_back(decoded);
  ++p_;
  return true;
}

// At a minus sign or a digit. Grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
ValuePtr JsonReader::ReadNumber() {
  const char16_t* begin = p_;
  const bool negative = *p_ == u'-';
  if (negative) ++p_;
  if (!IsDigit(*p_)) return nullptr;
  // The significand is gathered while validating, for the fast path below.
  uint64_t significand = 0;
  int digit_count = 0;
  int exponent10 = 0;
  if (*p_ == u'0') {
    ++p_;  // A leading zero ends the integer part: "012" reads as 0 followed by "12".
  } else {
    for (; IsDigit(*p_); ++p_, ++digit_count) significand = significand * 10 + (*p_ - u'0');
  }
  if (*p_ == u'.') {
    ++p_;
    if (!IsDigit(*p_)) return nullptr;
    for (; IsDigit(*p_); ++p_, ++digit_count, --exponent10) {
      significand = significand * 10 + (*p_ - u'0');
    }
  }
  if (*p_ == u'e' || *p_ == u'E') {
    ++p_;
    const bool negative_exponent = *p_ == u'-';
    if (*p_ == u'-' || *p_ == u'+') ++p_;
    if (!IsDigit(*p_)) return nullptr;
    int exponent = 0;
    for (; IsDigit(*p_); ++p_) {
      if (exponent < 100000) exponent = exponent * 10 + (*p_ - u'0');  // Saturates.
    }
    exponent10 += negative_exponent ? -exponent : exponent;
  }
  double value;
  // Up to 15 digits (exact in a double) scaled by an exact power of ten: one rounding,
  // hence correctly rounded. Everything else takes the general conversion.
  if (digit_count <= 15 && exponent10 >= -22 && exponent10 <= 22) {
    value = static_cast<double>(significand);
    value = exponent10 < 0 ? value / kExactPowersOfTen[-exponent10]
                           : value * kExactPowersOfTen[exponent10];
    if (negative) value = -value;
  } else {
    value = ConvertNumberText(begin, p_);
  }
  return std::make_unique<CJsonValue>(value);
}

// At the left bracket. Elements collect on a stack shared by all arrays of the document, so
// that each array is allocated once at its final size instead of growing step by step.
ValuePtr JsonReader::ReadArray(int depth) {
  ++p_;
  const size_t base = pending_->size;
  for (;;) {
    SkipWhitespace();
    if (pending_->size == base && *p_ == u']') {
      ++p_;
      break;
    }
    ValuePtr element = ReadValue(depth);
    if (!element) return nullptr;   // The reader's destructor releases what was collected.
    pending_->Push(element.get());  // Ownership passes once the push cannot fail.
    element.release();
    SkipWhitespace();
    if (*p_ == u']') {
      ++p_;
      break;
    }
    if (*p_ != u',') return nullptr;
    ++p_;
  }
  CJsonValue::Array elements;
  elements.reserve(pending_->size - base);
  for (size_t i = base; i < pending_->size; ++i) elements.emplace_back(pending_->nodes[i]);
  pending_->size = base;
  return std::make_unique<CJsonValue>(std::move(elements));
}

// A repeated key replaces (and so destroys) the earlier value. The key string is built once,
// directly in the new map node, and only when the key is new. Members often arrive in key
// order, so the end of the map is tried before a search.
void InsertMember(std::u16string_view key, ValuePtr value, CJsonValue::Object* members) {
  auto position = members->end();
  if (!members->empty() && !(std::prev(position)->first < key)) {
    position = members->lower_bound(key);
    if (position != members->end() && position->first == key) {
      position->second = std::move(value);
      return;
    }
  }
  members->emplace_hint(position, std::piecewise_construct, std::forward_as_tuple(key),
                        std::forward_as_tuple(std::move(value)));
}

// At the left brace.
ValuePtr JsonReader::ReadObject(int depth) {
  ++p_;
  CJsonValue::Object members;
  std::u16string decoded_key;  // Used only by keys with escapes.
  bool first = true;
  for (;;) {
    SkipWhitespace();
    if (first && *p_ == u'}') {
      ++p_;
      break;
    }
    first = false;
    if (*p_ != u'"') return nullptr;
    std::u16string_view key;
    if (!ReadKey(&key, &decoded_key)) return nullptr;
    SkipWhitespace();
    if (*p_ != u':') return nullptr;
    ++p_;
    SkipWhitespace();
    ValuePtr value = ReadValue(depth);
    if (!value) return nullptr;
    InsertMember(key, std::move(value), &members);
    SkipWhitespace();
    if (*p_ == u'}') {
      ++p_;
      break;
    }
    if (*p_ != u',') return nullptr;
    ++p_;
  }
  return std::make_unique<CJsonValue>(std::move(members));
}

std::u16string ToNativePath(const std::u16string& path) {
  std::u16string native = path;
  for (char16_t& c : native) {
    if (c == u'\\') c = u'/';
  }
  return native;
}

// Reads the whole file, or returns false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char buffer[64 * 1024];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes->append(buffer, count);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

std::unique_ptr<CJsonValue> ParseJson(const char16_t* text) {
  if (!text) return nullptr;
  return JsonReader(text, std::char_traits<char16_t>::length(text)).ReadDocument();
}

std::unique_ptr<CJsonValue> ParseJson(const std::u16string& text) {
  return JsonReader(text.c_str(), text.size()).ReadDocument();
}

std::unique_ptr<CJsonValue> ParseJsonUtf8(std::string_view bytes) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    bytes.remove_prefix(kByteOrderMark.size());
  }
  return ParseJson(DecodeUtf8ToUtf16(bytes));
}

std::unique_ptr<CJsonValue> ParseJsonFile(const std::u16string& path) {
  std::string bytes;
  if (!ReadWholeFile(EncodeUtf16ToUtf8(ToNativePath(path)), &bytes)) return nullptr;
  return ParseJsonUtf8(bytes);
}

}  // namespace Logic
