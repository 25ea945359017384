#include "platform/strings.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

namespace {

using halcy::StringPrintf;

struct FormatCase {
  std::u16string expected;
  std::u16string actual;
};

TEST(WideFormatTest, SystemFormatsAsWritten) {
  const FormatCase cases[] = {
      {u"ext:receive from extension, extid:abc, command:x.y\n",
       StringPrintf(u"ext:receive from extension, extid:%s, command:%s\n", u"abc", u"x.y")},
      {u"PERFORMANCE(Init:50) : 1.500000 ms",
       StringPrintf(u"PERFORMANCE(%S) : %f ms", "Init:50", 1.5)},
      {u"error @ f:11 (lasterror=5, hr=0x80004005)",
       StringPrintf(u"error @ %s:%d (lasterror=%u, hr=0x%X)", u"f", 11, 5u, 0x80004005u)},
      {u"[  42][42  ][0042]", StringPrintf(u"[%4d][%-4d][%04d]", 42, 42, 42)},
      {u"ff FF 0x1f 17", StringPrintf(u"%x %X %#x %o", 255, 255, 31, 15)},
      {u"-1 4294967295", StringPrintf(u"%d %u", -1, 0xFFFFFFFFu)},
      {u"9223372036854775807", StringPrintf(u"%I64d", INT64_C(9223372036854775807))},
      {u"-5 18446744073709551615", StringPrintf(u"%lld %llu", -5LL, ~0ULL)},
      {u"100%", StringPrintf(u"100%%")},
      {u"[ab        ][        ab]", StringPrintf(u"[%-10s][%10s]", u"ab", u"ab")},
      {u"abc", StringPrintf(u"%.3s", u"abcdef")},
      {u"(null)", StringPrintf(u"%s", static_cast<const char16_t*>(nullptr))},
      {u"x", StringPrintf(u"%c", u'x')},
      {u"[   7]", StringPrintf(u"[%*d]", 4, 7)},
      {u"\u4e2d\u6587", StringPrintf(u"%S", "\xe4\xb8\xad\xe6\x96\x87")},
  };
  for (const FormatCase& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(WideFormatTest, PointerPrintsSixteenUpperHexDigits) {
  EXPECT_EQ(u"00000000DEADBEEF",
            StringPrintf(u"%p", reinterpret_cast<void*>(uintptr_t{0xDEADBEEF})));
}

int CallTruncating(char16_t* buffer, size_t size, size_t count, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf_s(buffer, size, count, format, args);
  va_end(args);
  return n;
}

// _TRUNCATE writes what fits and reports the cut; a count limits the output, and a count
// beyond a buffer that cannot hold the text gives an empty string.
TEST(WideFormatTest, TruncationAndCountLimits) {
  const struct {
    size_t size;
    size_t count;
    const char16_t* text;
    int result;
    const char16_t* written;
  } cases[] = {
      {8, _TRUNCATE, u"0123456789", -1, u"0123456"},
      {8, _TRUNCATE, u"0123456", 7, u"0123456"},
      {16, 3, u"abcdef", -1, u"abc"},
      {16, 3, u"ab", 2, u"ab"},
      {4, 10, u"abcdef", -1, u""},
  };
  for (const auto& c : cases) {
    std::vector<char16_t> buffer(c.size, u'#');  // exact size: overruns reach the sanitizer
    EXPECT_EQ(c.result, CallTruncating(buffer.data(), c.size, c.count, u"%s", c.text)) << c.size;
    EXPECT_EQ(std::u16string(c.written), std::u16string(buffer.data())) << c.size;
  }
}

TEST(Utf8Test, RoundTripsAllPlanesAndReplacesUnpairedSurrogates) {
  std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(text, halcy::Utf8ToUtf16(halcy::Utf16ToUtf8(text)));
  EXPECT_EQ("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z", halcy::Utf16ToUtf8(text));
  const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b'};
  EXPECT_EQ(
      "a\xef\xbf\xbd"
      "b",
      halcy::Utf16ToUtf8(lone));  // unpaired: U+FFFD
}

TEST(Utf8Test, InvalidSequencesBecomeReplacementCharacters) {
  struct {
    const char* in;
    std::u16string out;
  } cases[] = {
      {"\x80", u"\uFFFD"},                      // stray continuation
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xe4\xb8", u"\uFFFD"},                  // truncated at the end
      {"\xe4\xb8x", u"\uFFFDx"},                // truncated before ASCII
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, halcy::Utf8ToUtf16(c.in)) << c.in;
}

}  // namespace
