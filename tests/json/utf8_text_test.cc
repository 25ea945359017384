// UTF-8 <-> UTF-16 conversion, including every kind of ill-formed input.

#include "json/utf8_text.h"

#include <gtest/gtest.h>

namespace Logic {
namespace {

TEST(DecodeTest, DecodesAndReplacesEachIllFormedByte) {
  // clang-format off
  const std::pair<std::string, std::u16string> cases[] = {
      {"plain ascii text, long enough for words", u"plain ascii text, long enough for words"},
      {"\xC3\xA9", u"\u00e9"}, {"\xE4\xB8\xAD\xE2\x82\xAC", u"\u4e2d\u20ac"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"}, {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"a\x80" "b", u"a\xFFFD" u"b"},                                  // stray continuation
      {"\xC0\xC1\xF5\xFF", u"\xFFFD\xFFFD\xFFFD\xFFFD"},               // invalid leads
      {"\xC0\xAF", u"\xFFFD\xFFFD"}, {"\xE0\x80\xAF", u"\xFFFD\xFFFD\xFFFD"},  // overlong
      {"\xF0\x80\x80\xAF", u"\xFFFD\xFFFD\xFFFD\xFFFD"},
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},                          // surrogate
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},               // above U+10FFFF
      {"ab\xE4\xB8", u"ab\xFFFD"}, {"\xE4\xB8" "c", u"\xFFFD" u"c"},      // truncated
      {"\xF0\x9F\x98" "d\xF0\x9F", u"\xFFFD" u"d\xFFFD"}, {"\xC3\xC3\xA9", u"\xFFFD\u00e9"},
      {"12345678\xC3\xA9" "9", u"12345678\u00e9" u"9"}};
  // clang-format on
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(DecodeUtf8ToUtf16(bytes), text) << testing::PrintToString(bytes);
  }
}

TEST(EncodeTest, EncodesEveryLengthAndReplacesLoneSurrogates) {
  // clang-format off
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\u00e9\u4e2d\xD83D\xDE00", "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {std::u16string(u"\0", 1), std::string("\0", 1)}, {u"\xD800", "\xEF\xBF\xBD"},
      {u"\xDC00" u"a", "\xEF\xBF\xBD" "a"},
      {u"\xD800\xD800\xDC00", "\xEF\xBF\xBD\xF0\x90\x80\x80"}};
  // clang-format on
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
