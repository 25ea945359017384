#include "common/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "common/json_escape.h"

namespace {

using Logic::Base64Encode;

TEST(Base64Test, MatchesTheStandardVectorsAndBreaksLinesAfter76Characters) {
  const std::string a76(76, 'A');  // 57 zero bytes encode to 76 "A"
  const auto zeros = [](size_t n) { return std::string(n, '\0'); };
  const struct {
    std::string input;
    unsigned flags;
    std::string expected;
  } cases[] = {
      {"", Logic::kBase64Default, ""},
      {"f", Logic::kBase64Default, "Zg=="},
      {"fo", Logic::kBase64Default, "Zm8="},
      {"foo", Logic::kBase64Default, "Zm9v"},
      {"f", Logic::kBase64NoPadding, "Zg"},
      // The two last alphabet characters and every bit of the bytes.
      {std::string("\xFB\xFF\xBF", 3), Logic::kBase64Default, "+/+/"},
      {zeros(57), Logic::kBase64Default, a76 + "\r\n"},
      {zeros(58), Logic::kBase64Default, a76 + "\r\nAA=="},
      // Padding counts as output: 56 bytes make 75 characters and one "=".
      {zeros(56), Logic::kBase64Default, std::string(75, 'A') + "=\r\n"},
      {zeros(58), Logic::kBase64NoLineBreaks, a76 + "AA=="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Base64Encode(c.input, c.flags))
        << "input size " << c.input.size() << " flags " << c.flags;
  }
}

TEST(JsonEscapeTest, EscapesQuotesBackslashesAndControlCharactersOnly) {
  EXPECT_EQ(u"say \\\"hi\\\" C:\\\\dir", Logic::EscapeJsonText(u"say \"hi\" C:\\dir"));
  EXPECT_EQ(u"\\b\\f\\n\\r\\t", Logic::EscapeJsonText(u"\b\f\n\r\t"));
  EXPECT_EQ(u"\\u0000\\u001F\\u0001", Logic::EscapeJsonText(std::u16string(u"\0\x1f\x01", 3)));
  // The solidus, DEL and non-ASCII text pass unchanged.
  EXPECT_EQ(u"a/b\x7f\u4e2d\U0001F602", Logic::EscapeJsonText(u"a/b\x7f\u4e2d\U0001F602"));
}

}  // namespace
