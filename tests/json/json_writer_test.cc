// The writer's output rules: number text, string escaping, long texts and threads.
#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json/utf8_text.h"

namespace Logic {
namespace {

std::string Write(const CJsonValue& value) { return EncodeUtf16ToUtf8(ToJsonString(value)); }

// Numbers are written as the stream with default settings writes them (six significant
// digits, general notation); non-finite ones as null.
TEST(WriterNumberTest, MatchesTheDefaultStreamFormat) {
  EXPECT_EQ(Write(CJsonValue(std::numeric_limits<double>::quiet_NaN())), "null");
  EXPECT_EQ(Write(CJsonValue(HUGE_VAL)), "null");
  EXPECT_EQ(Write(CJsonValue(-HUGE_VAL)), "null");
  // Exact ties round to even; near-ties must not be decided by a scaling error (0.1234565 lies
  // just below its tie as a double).
  std::vector<double> values = {-0.0,   0.0,  1e300, 5e-324,  123456,  1e6,      999999.5,
                                0.0001, 1e-5, -2.5,  1234565, 1234575, 0.1234565};
  std::mt19937_64 random(20240531);
  std::uniform_int_distribution<int> exponent(-330, 310);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  for (int i = 0; i < 20000; ++i) {
    double value = mantissa(random) * std::pow(10.0, exponent(random));
    if (i % 4 == 0) value = std::round(value);
    if (i % 8 == 1) value = std::nextafter(std::round(mantissa(random) * 1e6), 0.0);
    // Seven-digit integers ending in 5, scaled: exact or nearly exact ties at the 6th digit.
    if (i % 8 == 3)
      value = (std::round(mantissa(random) * 1e5) * 10 + 5) * std::pow(10.0, exponent(random) % 20);
    if (i % 8 == 5) value = std::nextafter(value, i % 16 == 5 ? 0.0 : HUGE_VAL);
    if (std::isfinite(value)) values.push_back(value);
  }
  for (double value : values) {
    std::ostringstream stream;
    stream << value;
    ASSERT_EQ(Write(CJsonValue(value)), stream.str()) << std::hexfloat << value;
  }
}

TEST(WriterStringTest, EscapesExactlyTheListedCharacters) {
  EXPECT_EQ(Write(CJsonValue(u"a/\"\\\b\f\n\r\t\x01\x1f\x0b'\x7f \u00e9\xD83D\xDE00")),
            "\"a\\/\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001F\\u000B'\x7f \xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(ToJsonString(CJsonValue(u"a\xDC00")), u"\"a\xDC00\"");  // a lone surrogate as is
  std::u16string out = u"prefix:";
  AppendJsonEscaped(u"a\"b\x01/", &out);
  AppendJsonEscaped(u"", &out);
  EXPECT_EQ(out, u"prefix:a\\\"b\\u0001\\/");
}

// A string of `length` units mixing plain ASCII, non-ASCII and two kinds of escape, with the
// text the writer must produce for it.
std::pair<std::u16string, std::u16string> LongString(size_t length, unsigned seed) {
  std::u16string text, written = u"\"";
  for (size_t i = 0; i < length; ++i) {
    const unsigned kind = (static_cast<unsigned>(i) * 7 + seed) % 11;
    const char16_t c = kind == 0 ? u'"' : kind == 1 ? u'\x01' : kind == 2 ? u'\u4e2d' : u'a' + kind;
    text.push_back(c);
    written += c == u'"' ? u"\\\"" : c == u'\x01' ? u"\\u0001" : std::u16string(1, c);
  }
  return {text, written + u"\""};
}

// The writer's working space is reused from one document to the next on a thread, grows in
// steps, and is given back above a limit: lengths around the steps and past the limit, each
// followed by a short document, must come out whole and alone.
TEST(WriterTest, LongTextsComeOutWholeAndAlone) {
  for (size_t length : {size_t{4095}, size_t{4096}, size_t{4097}, size_t{3000000}}) {
    const auto [text, written] = LongString(length, static_cast<unsigned>(length));
    EXPECT_EQ(ToJsonString(CJsonValue(text)), written) << length;
    EXPECT_EQ(ToJsonString(CJsonValue(u"x")), u"\"x\"") << length;
  }
}

TEST(WriterTest, ThreadsWriteTheirOwnDocuments) {
  constexpr int kThreads = 4;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&wrong, t] {
      const auto [text, written] = LongString(20000 + 997 * t, t);
      const CJsonValue value(text);
      for (int round = 0; round < 50; ++round) wrong[t] += ToJsonString(value) != written;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << t;
}

}  // namespace
}  // namespace Logic
