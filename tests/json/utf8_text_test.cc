// UTF-8 <-> UTF-16 conversion, including every kind of ill-formed input.

#include "json/utf8_text.h"

#include <gtest/gtest.h>

namespace Logic {
namespace {

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::u16string text;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, Decodes) {
  EXPECT_EQ(DecodeUtf8ToUtf16(GetParam().bytes), GetParam().text) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    All, DecodeTest,
    testing::Values(DecodeCase{"ascii", "plain ascii text, long enough for words",
                               u"plain ascii text, long enough for words"},
                    DecodeCase{"two_bytes", "\xC3\xA9", u"\u00e9"},
                    DecodeCase{"three_bytes", "\xE4\xB8\xAD\xE2\x82\xAC", u"\u4e2d\u20ac"},
                    DecodeCase{"four_bytes", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
                    DecodeCase{"highest", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
                    DecodeCase{"nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
                    DecodeCase{"stray_continuation",
                               "a\x80"
                               "b",
                               u"a\xFFFD"
                               u"b"},
                    DecodeCase{"invalid_lead", "\xC0\xC1\xF5\xFF", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
                    DecodeCase{"overlong_two", "\xC0\xAF", u"\xFFFD\xFFFD"},
                    DecodeCase{"overlong_three", "\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},
                    DecodeCase{"overlong_four", "\xF0\x80\x80\xAF", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
                    DecodeCase{"surrogate", "\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},
                    DecodeCase{"above_max", "\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
                    DecodeCase{"truncated_at_end", "ab\xE4\xB8", u"ab\xFFFD"},
                    DecodeCase{"truncated_before_ascii",
                               "\xE4\xB8"
                               "c",
                               u"\xFFFD"
                               u"c"},
                    DecodeCase{"truncated_four",
                               "\xF0\x9F\x98"
                               "d\xF0\x9F",
                               u"\xFFFD"
                               u"d\xFFFD"},
                    DecodeCase{"lead_after_lead", "\xC3\xC3\xA9", u"\xFFFD\u00e9"},
                    DecodeCase{"mixed_after_ascii_run",
                               "12345678\xC3\xA9"
                               "9",
                               u"12345678\u00e9"
                               u"9"}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(EncodeTest, EncodesEveryLengthAndReplacesLoneSurrogates) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\u00e9\u4e2d\xD83D\xDE00", "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {std::u16string(u"\0", 1), std::string("\0", 1)},
      {u"\xD800", "\xEF\xBF\xBD"},
      {u"\xDC00"
       u"a",
       "\xEF\xBF\xBD"
       "a"},
      {u"\xD800\xD800\xDC00", "\xEF\xBF\xBD\xF0\x90\x80\x80"},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(EncodeUtf16ToUtf8(text), bytes);
}

TEST(EncodeTest, EveryScalarValueRoundTrips) {
  for (char32_t c = 0; c <= 0x10FFFF; c += (c < 0x20000 ? 1 : 97)) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::u16string text;
    if (c < 0x10000) {
      text.push_back(static_cast<char16_t>(c));
    } else {
      text.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
    ASSERT_EQ(DecodeUtf8ToUtf16(EncodeUtf16ToUtf8(text)), text) << unsigned(c);
  }
}

}  // namespace
}  // namespace Logic
