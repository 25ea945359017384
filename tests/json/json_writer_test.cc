// The writer's output rules: number text, string escaping, member order, compactness.

#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json/json_reader.h"
#include "json/utf8_text.h"

namespace Logic {
namespace {

std::string Write(const CJsonValue& value) { return EncodeUtf16ToUtf8(ToJsonString(value)); }

TEST(WriterNumberTest, SixSignificantDigitsInGeneralNotation) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
  // Exact ties round to even; near-ties must not be decided by a scaling error (0.1234565 lies
  // just below its tie as a double).
  // clang-format off
  const std::pair<double, const char*> cases[] = {
      {1234567, "1.23457e+06"}, {0.1, "0.1"}, {0.5, "0.5"}, {-0.0, "-0"}, {0.0, "0"},
      {1e300, "1e+300"}, {5e-324, "4.94066e-324"}, {1e21, "1e+21"}, {123456, "123456"},
      {999999.5, "1e+06"}, {100000, "100000"}, {1e6, "1e+06"}, {0.0001, "0.0001"},
      {0.00001, "1e-05"}, {-2.5, "-2.5"}, {1.0 / 3, "0.333333"}, {3.14159265358979, "3.14159"},
      {42, "42"}, {-1, "-1"}, {1.7976931348623157e308, "1.79769e+308"},
      {1234565, "1.23456e+06"}, {1234575, "1.23458e+06"}, {123456.5, "123456"},
      {100000.5, "100000"}, {9999995, "1e+07"}, {0.1234565, "0.123456"},
      {0.000123456549999, "0.000123457"}, {2.5e-5, "2.5e-05"}, {1e100, "1e+100"},
      {-1.5e-100, "-1.5e-100"}, {nan, "null"}, {inf, "null"}, {-inf, "null"}};
  // clang-format on
  for (const auto& [value, text] : cases) EXPECT_EQ(Write(CJsonValue(value)), text) << value;
}

TEST(WriterNumberTest, MatchesTheDefaultStreamFormat) {
  // The stream with default settings is the reference for every number the writer emits.
  std::mt19937_64 random(20240531);
  std::uniform_int_distribution<int> exponent(-330, 310);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  for (int i = 0; i < 20000; ++i) {
    double value = mantissa(random) * std::pow(10.0, exponent(random));
    if (i % 4 == 0) value = std::round(value);  // Plenty of integers too.
    if (i % 8 == 1) value = std::nextafter(std::round(mantissa(random) * 1e6), 0.0);
    // Seven-digit integers ending in 5, scaled: exact or nearly exact ties at the 6th digit.
    if (i % 8 == 3)
      value = (std::round(mantissa(random) * 1e5) * 10 + 5) * std::pow(10.0, exponent(random) % 20);
    if (i % 8 == 5) value = std::nextafter(value, i % 16 == 5 ? 0.0 : HUGE_VAL);
    if (!std::isfinite(value)) continue;
    std::ostringstream stream;
    stream << value;
    ASSERT_EQ(Write(CJsonValue(value)), stream.str()) << std::hexfloat << value;
  }
}

TEST(WriterStringTest, EscapesExactlyTheListedCharacters) {
  // clang-format off
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"a/b", "\"a\\/b\""}, {u"say \"hi\"", "\"say \\\"hi\\\"\""},
      {u"back\\slash", "\"back\\\\slash\""}, {u"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {u"\x01", "\"\\u0001\""}, {u"\x1f", "\"\\u001F\""}, {u"\x0b\x1a", "\"\\u000B\\u001A\""},
      {u"'apostrophe'", "\"'apostrophe'\""}, {u"\x7f", "\"\x7f\""}, {u"", "\"\""},
      {u"\u00e9\u4e2d\u20ac", "\"\xC3\xA9\xE4\xB8\xAD\xE2\x82\xAC\""},
      {u"\xD83D\xDE00", "\"\xF0\x9F\x98\x80\""}};
  // clang-format on
  for (const auto& [text, written] : cases) EXPECT_EQ(Write(CJsonValue(text)), written);
  // A lone surrogate is written unchanged.
  EXPECT_EQ(ToJsonString(CJsonValue(u"a\xDC00")), u"\"a\xDC00\"");
}

TEST(WriterStringTest, EveryControlCharacterHasItsEscape) {
  for (char16_t c = 0; c < 0x20; ++c) {
    const std::u16string written = ToJsonString(CJsonValue(std::u16string(1, c)));
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(written[1], u'\\') << int(c);
    if (written[2] == u'u') {
      char expected[8];
      std::snprintf(expected, sizeof(expected), "00%02X", unsigned(c));
      EXPECT_EQ(EncodeUtf16ToUtf8(written.substr(3, 4)), expected);
    }
    // Whatever the form, reading it back gives the character.
    const auto back = ParseJson(written);
    ASSERT_NE(back, nullptr) << int(c);
    EXPECT_EQ(back->GetString(), std::u16string(1, c));
  }
}

TEST(WriterTest, MembersComeOutInCodeUnitOrderWithEscapedKeys) {
  CJsonValue object{CJsonValue::Object{}};
  for (const char16_t* key : {u"b", u"a", u"Z", u"\xFFFF", u"\xD800\xDC00", u"aa", u"/\"\n"}) {
    object.GetObject()[key] = std::make_unique<CJsonValue>(1);
  }
  // Keys are escaped like strings.
  EXPECT_EQ(ToJsonString(object),
            u"{\"\\/\\\"\\n\":1,\"Z\":1,\"a\":1,\"aa\":1,\"b\":1,"
            u"\"\xD800\xDC00\":1,\"\xFFFF\":1}");
}

// A string of `length` units mixing plain ASCII, non-ASCII and the three kinds of escape, with
// the text the writer must produce for it.
struct LongString {
  std::u16string text;
  std::u16string written;
};

LongString MakeLongString(size_t length, unsigned seed) {
  LongString s;
  s.written.push_back(u'"');
  for (size_t i = 0; i < length; ++i) {
    const unsigned kind = (static_cast<unsigned>(i) * 7 + seed) % 11;
    const char16_t c = kind == 0 ? u'"' : kind == 1 ? u'\x01' : kind == 2 ? u'\u4e2d' : u'a' + kind;
    s.text.push_back(c);
    if (c == u'"') {
      s.written.append(u"\\\"");
    } else if (c == u'\x01') {
      s.written.append(u"\\u0001");
    } else {
      s.written.push_back(c);
    }
  }
  s.written += u"\"";
  return s;
}

// The writer's working space is reused from one document to the next on a thread, grows in
// steps, and is given back above a limit: lengths around the steps and past the limit, each
// followed by a short document, must come out whole and alone.
TEST(WriterTest, LongTextsComeOutWholeAndAlone) {
  for (size_t length :
       {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{100003}, size_t{3000000}}) {
    const LongString s = MakeLongString(length, static_cast<unsigned>(length));
    EXPECT_EQ(ToJsonString(CJsonValue(s.text)), s.written) << length;
    EXPECT_EQ(ToJsonString(CJsonValue(u"x")), u"\"x\"") << length;
  }
}

TEST(WriterTest, ThreadsWriteTheirOwnDocuments) {
  constexpr int kThreads = 4;
  std::vector<LongString> strings;
  for (int i = 0; i < kThreads; ++i) strings.push_back(MakeLongString(20000 + 997 * i, i));
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const CJsonValue value(strings[t].text);
      for (int round = 0; round < 50; ++round) {
        if (ToJsonString(value) != strings[t].written) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << t;
}

TEST(WriterStringTest, AppendKeepsWhatTheStringHeld) {
  std::u16string out = u"prefix:";
  AppendJsonEscaped(u"a\"b\x01/", &out);
  AppendJsonEscaped(u"", &out);
  AppendJsonEscaped(u"\u00e9", &out);
  EXPECT_EQ(out, u"prefix:a\\\"b\\u0001\\/\u00e9");
}

}  // namespace
}  // namespace Logic
