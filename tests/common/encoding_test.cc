#include "common/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "common/json_escape.h"

namespace {

using Logic::Base64Encode;
using Logic::HexEncodeLower;

struct Base64Case {
  std::string input;
  unsigned flags;
  std::string expected;
};

TEST(Base64Test, MatchesTheStandardVectorsWithAndWithoutPadding) {
  const Base64Case cases[] = {
      {"", Logic::kBase64Default, ""},
      {"f", Logic::kBase64Default, "Zg=="},
      {"fo", Logic::kBase64Default, "Zm8="},
      {"foo", Logic::kBase64Default, "Zm9v"},
      {"foob", Logic::kBase64Default, "Zm9vYg=="},
      {"fooba", Logic::kBase64Default, "Zm9vYmE="},
      {"foobar", Logic::kBase64Default, "Zm9vYmFy"},
      {"f", Logic::kBase64NoPadding, "Zg"},
      {"fo", Logic::kBase64NoPadding, "Zm8"},
      {"foobar", Logic::kBase64NoPadding, "Zm9vYmFy"},
      // The two last alphabet characters and every bit of the bytes.
      {std::string("\xFB\xFF\xBF", 3), Logic::kBase64Default, "+/+/"},
      {std::string("\x00\x00", 2), Logic::kBase64Default, "AAA="},
  };
  for (const Base64Case& c : cases) {
    EXPECT_EQ(c.expected, Base64Encode(c.input, c.flags)) << "input size " << c.input.size();
  }
}

TEST(Base64Test, BreaksLinesAfterEvery76OutputCharacters) {
  const std::string line(76, 'A');  // 57 zero bytes encode to 76 "A"
  EXPECT_EQ(line + "\r\n", Base64Encode(std::string(57, '\0')));
  EXPECT_EQ(line + "\r\n" + "AA==", Base64Encode(std::string(58, '\0')));
  EXPECT_EQ(line + "\r\n" + line + "\r\n", Base64Encode(std::string(114, '\0')));
  // Padding counts as output: 56 bytes make 75 characters and one "=".
  EXPECT_EQ(std::string(75, 'A') + "=\r\n", Base64Encode(std::string(56, '\0')));
  EXPECT_EQ(line + "\r\n" + "AAA=", Base64Encode(std::string(59, '\0')));
}

TEST(Base64Test, LineBreaksAndPaddingCanBothBeSuppressed) {
  const std::string bytes(199, '\x5A');
  const std::string flat = Base64Encode(bytes, Logic::kBase64NoLineBreaks);
  EXPECT_EQ(std::string::npos, flat.find('\r'));
  EXPECT_EQ(268u, flat.size());  // 66 groups and one byte padded with "=="
  EXPECT_EQ("==", flat.substr(266));
  const std::string bare =
      Base64Encode(bytes, Logic::kBase64NoLineBreaks | Logic::kBase64NoPadding);
  EXPECT_EQ(flat.substr(0, 266), bare);
  // With breaks, removing them gives back the flat text.
  std::string broken = Base64Encode(bytes);
  std::string joined;
  for (char c : broken) {
    if (c != '\r' && c != '\n') joined.push_back(c);
  }
  EXPECT_EQ(flat, joined);
  EXPECT_EQ("\r\n", broken.substr(76, 2));
  EXPECT_EQ("\r\n", broken.substr(154, 2));
}

TEST(HexEncodeTest, WritesTwoLowerCaseDigitsPerByteHighNibbleFirst) {
  EXPECT_EQ("", HexEncodeLower(""));
  EXPECT_EQ("00ff10a9", HexEncodeLower(std::string("\x00\xff\x10\xa9", 4)));
  EXPECT_EQ("61006200", HexEncodeLower(std::string("a\0b\0", 4)));
}

TEST(JsonEscapeTest, EscapesQuotesBackslashesAndControlCharactersOnly) {
  EXPECT_EQ(u"say \\\"hi\\\" C:\\\\dir", Logic::EscapeJsonText(u"say \"hi\" C:\\dir"));
  EXPECT_EQ(u"\\b\\f\\n\\r\\t", Logic::EscapeJsonText(u"\b\f\n\r\t"));
  EXPECT_EQ(u"\\u0000\\u001F\\u0001", Logic::EscapeJsonText(std::u16string(u"\0\x1f\x01", 3)));
  // The solidus, DEL and non-ASCII text pass unchanged.
  EXPECT_EQ(u"a/b\x7f\u4e2d\U0001F602", Logic::EscapeJsonText(u"a/b\x7f\u4e2d\U0001F602"));
}

}  // namespace
