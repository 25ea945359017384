// The wide printf engine behind StringPrintf, FormatToBuffer and _vsnwprintf_s.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/strings.h"

namespace halcy {
namespace {

// Writes either into a fixed buffer (never allocating, remembering a cut) or into a string.
class Sink {
 public:
  Sink(char16_t* buffer, size_t limit) : buffer_(buffer), limit_(limit) {}
  explicit Sink(std::u16string* out) : out_(out) {}

  void Put(char16_t c) {
    if (out_) {
      out_->push_back(c);
    } else if (len_ < limit_) {
      buffer_[len_++] = c;
    } else {
      cut_ = true;
    }
  }
  void Fill(char16_t c, int n) {
    for (int i = 0; i < n; ++i) Put(c);
  }
  size_t length() const { return len_; }
  bool cut() const { return cut_; }

 private:
  char16_t* buffer_ = nullptr;
  size_t limit_ = 0;
  size_t len_ = 0;
  bool cut_ = false;
  std::u16string* out_ = nullptr;
};

struct Spec {
  char flags[6] = {};
  int nflags = 0;
  int width = -1;
  int precision = -1;
  enum { kInt, kLong, kLongLong, kShort, kSize } length = kInt;
  char16_t conv = 0;
  bool Left() const { return std::memchr(flags, '-', nflags) != nullptr; }
};

// Parses flags, width, precision and length after '%'; returns the position of the conversion.
const char16_t* ParseSpec(const char16_t* p, Spec* spec, va_list* args) {
  while (*p && std::strchr("-+ 0#", static_cast<char>(*p)) && *p < 0x80) {
    if (spec->nflags < 5) spec->flags[spec->nflags++] = static_cast<char>(*p);
    ++p;
  }
  if (*p == u'*') {
    spec->width = va_arg(*args, int);
    if (spec->width < 0) {
      spec->flags[spec->nflags++ % 5] = '-';
      spec->width = -spec->width;
    }
    ++p;
  } else {
    for (spec->width = *p >= u'0' && *p <= u'9' ? 0 : -1; *p >= u'0' && *p <= u'9'; ++p) {
      spec->width = spec->width * 10 + (*p - u'0');
    }
  }
  if (*p == u'.') {
    ++p;
    spec->precision = 0;
    if (*p == u'*') {
      spec->precision = va_arg(*args, int);
      ++p;
    } else {
      for (; *p >= u'0' && *p <= u'9'; ++p) spec->precision = spec->precision * 10 + (*p - u'0');
    }
  }
  if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
    spec->length = Spec::kLongLong, p += 3;
  } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
    spec->length = Spec::kInt, p += 3;
  } else if (p[0] == u'l' && p[1] == u'l') {
    spec->length = Spec::kLongLong, p += 2;
  } else if (*p == u'l') {
    spec->length = Spec::kLong, ++p;
  } else if (*p == u'h') {
    spec->length = Spec::kShort, ++p;
  } else if (*p == u'z' || *p == u'I') {
    spec->length = Spec::kSize, ++p;
  }
  return p;
}

void PutPadded(Sink* sink, const Spec& spec, const char16_t* text, size_t n) {
  int pad = spec.width > static_cast<int>(n) ? spec.width - static_cast<int>(n) : 0;
  if (!spec.Left()) sink->Fill(u' ', pad);
  for (size_t i = 0; i < n; ++i) sink->Put(text[i]);
  if (spec.Left()) sink->Fill(u' ', pad);
}

void PutWide(Sink* sink, const Spec& spec, const char16_t* s) {
  if (!s) s = u"(null)";
  size_t n = std::char_traits<char16_t>::length(s);
  if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < n) n = spec.precision;
  PutPadded(sink, spec, s, n);
}

void PutNarrow(Sink* sink, const Spec& spec, const char* s) {
  if (!s) s = "(null)";
  size_t n = std::strlen(s);
  if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < n) n = spec.precision;
  std::u16string wide = Utf8ToUtf16(std::string_view(s, n));
  PutPadded(sink, spec, wide.data(), wide.size());
}

// Numbers go through the C library's narrow printf with the same flags, then widen.
void PutNumber(Sink* sink, const Spec& spec, va_list* args) {
  char fmt[32];
  int f = 0;
  fmt[f++] = '%';
  for (int i = 0; i < spec.nflags; ++i) fmt[f++] = spec.flags[i];
  fmt[f++] = '*';
  fmt[f++] = '.';
  fmt[f++] = '*';
  char conv = static_cast<char>(spec.conv);
  char out[512];
  int width = spec.width < 0 ? 0 : (spec.width > 400 ? 400 : spec.width);
  int precision = spec.precision > 300 ? 300 : spec.precision;
  int n = 0;
  if (std::strchr("fFeEgGaA", conv)) {
    fmt[f++] = conv;
    fmt[f] = 0;
    n = std::snprintf(out, sizeof(out), fmt, width, precision, va_arg(*args, double));
  } else {
    bool is_signed = conv == 'd' || conv == 'i';
    fmt[f++] = 'l';
    fmt[f++] = 'l';
    fmt[f++] = conv;
    fmt[f] = 0;
    long long v;
    switch (spec.length) {
      case Spec::kLongLong:
        v = va_arg(*args, long long);
        break;
      case Spec::kLong:
        v = is_signed ? va_arg(*args, long) : static_cast<long long>(va_arg(*args, unsigned long));
        break;
      case Spec::kSize:
        v = static_cast<long long>(va_arg(*args, size_t));
        break;
      default:
        v = is_signed ? va_arg(*args, int) : static_cast<long long>(va_arg(*args, unsigned));
        break;
    }
    if (spec.length == Spec::kShort)
      v = is_signed ? static_cast<short>(v) : static_cast<unsigned short>(v);
    n = std::snprintf(out, sizeof(out), fmt, width, precision, v);
  }
  for (int i = 0; i < n && i < static_cast<int>(sizeof(out)) - 1; ++i) {
    sink->Put(static_cast<char16_t>(static_cast<unsigned char>(out[i])));
  }
}

void FormatInto(Sink* sink, const char16_t* p, va_list args_in) {
  va_list args;
  va_copy(args, args_in);
  while (p && *p) {
    if (*p != u'%') {
      sink->Put(*p++);
      continue;
    }
    Spec spec;
    p = ParseSpec(p + 1, &spec, &args);
    spec.conv = *p;
    if (!*p) break;
    ++p;
    switch (spec.conv) {
      case u'%':
        sink->Put(u'%');
        break;
      case u's':
        PutWide(sink, spec, va_arg(args, const char16_t*));
        break;
      case u'S':
        PutNarrow(sink, spec, va_arg(args, const char*));
        break;
      case u'c':
      case u'C': {
        char16_t c = static_cast<char16_t>(va_arg(args, int));
        PutPadded(sink, spec, &c, 1);
        break;
      }
      case u'p': {
        char buf[32];
        int n = std::snprintf(
            buf, sizeof(buf), "%016llX",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        std::u16string w(buf, buf + n);
        PutPadded(sink, spec, w.data(), w.size());
        break;
      }
      case u'd':
      case u'i':
      case u'u':
      case u'x':
      case u'X':
      case u'o':
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        PutNumber(sink, spec, &args);
        break;
      default:  // unknown conversion: print it as written
        sink->Put(u'%');
        sink->Put(spec.conv);
        break;
    }
  }
  va_end(args);
}

}  // namespace

void StringAppendV(std::u16string* out, const char16_t* format, va_list args) {
  Sink sink(out);
  FormatInto(&sink, format, args);
}

std::u16string StringPrintf(const char16_t* format, ...) {
  std::u16string out;
  va_list args;
  va_start(args, format);
  StringAppendV(&out, format, args);
  va_end(args);
  return out;
}

int FormatToBuffer(char16_t* buffer, size_t size, const char16_t* format, va_list args) {
  if (!buffer || size == 0) return -1;
  Sink sink(buffer, size - 1);
  FormatInto(&sink, format, args);
  buffer[sink.length()] = u'\0';
  return sink.cut() ? -1 : static_cast<int>(sink.length());
}

}  // namespace halcy

int _vsnwprintf_s(char16_t* buffer, size_t size_of_buffer, size_t count, const char16_t* format,
                  va_list args) {
  if (!buffer || size_of_buffer == 0) return -1;
  if (count == _TRUNCATE || count < size_of_buffer) {
    size_t limit = count == _TRUNCATE ? size_of_buffer : count + 1;
    return halcy::FormatToBuffer(buffer, limit, format, args);
  }
  // A count the buffer cannot hold: the text must fit whole, or the result is empty.
  int n = halcy::FormatToBuffer(buffer, size_of_buffer, format, args);
  if (n < 0) buffer[0] = u'\0';
  return n;
}

int _snwprintf_s(char16_t* buffer, size_t size_of_buffer, size_t count, const char16_t* format,
                 ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf_s(buffer, size_of_buffer, count, format, args);
  va_end(args);
  return n;
}
