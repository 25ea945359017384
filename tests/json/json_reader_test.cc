// The reader's contract: what it accepts, what it rejects, and the values it builds.

#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "json/json_writer.h"
#include "json/utf8_text.h"

namespace Logic {
namespace {

TEST(ReaderTest, ReadsAndWritesBackCompactly) {
  // clang-format off
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"[]", u"[]"}, {u"[ \t\r\n ]", u"[]"}, {u"{}", u"{}"}, {u"{ \r\n\t }", u"{}"},
      {u" \n[1, 2 ,\t3 ]", u"[1,2,3]"}, {u"{ \"a\" : [ ] , \"b\" : { } }", u"{\"a\":[],\"b\":{}}"},
      {u"[[[]],[{}]]", u"[[[]],[{}]]"}, {u"true", u"true"}, {u"TRUE", u"true"}, {u"tRuE", u"true"},
      {u"false", u"false"}, {u"FaLsE", u"false"}, {u"null", u"null"}, {u"NULL", u"null"},
      {u"[nUlL,True,fALSE]", u"[null,true,false]"}, {u"True1", u"true"}, {u"1.05", u"1.05"},
      {u"-0.5e2", u"-50"}, {u"1E2", u"100"}, {u"1e+2", u"100"}, {u"1e-2", u"0.01"}, {u"-0", u"-0"},
      {u"0", u"0"}, {u"012", u"0"}, {u"[0.5,-0.25]", u"[0.5,-0.25]"},
      {u"[1e400,-1e400]", u"[null,null]"}, {u"\"a\tb\"", u"\"a\\tb\""}, {u"\"\x7f\"", u"\"\x7f\""},
      {u"\"\\u00e9\"", u"\"\u00e9\""}, {u"\"\\u00E9\"", u"\"\u00e9\""},
      {u"\"\\u0041\\u0042\"", u"\"AB\""}, {u"\"\u4e2d\u6587\"", u"\"\u4e2d\u6587\""},
      {u"\"\\/\\'\"", u"\"\\/'\""}, {u"{\"a\":1,\"a\":2}", u"{\"a\":2}"},
      {u"{\"a\":[1,2],\"b\":0,\"a\":{\"c\":3}}", u"{\"a\":{\"c\":3},\"b\":0}"},
      {u"{\"b\":1,\"a\":2}", u"{\"a\":2,\"b\":1}"}, {u"{\"\":1}", u"{\"\":1}"},
      {u"{\"a\\u0000b\":1}", u"{\"a\\u0000b\":1}"}, {u"[1] x", u"[1]"}, {u"{}}", u"{}"},
      {u"1 2", u"1"}, {u"\"a\"\"b\"", u"\"a\""}, {u"nulls", u"null"}, {u"[1]]]", u"[1]"},
      {u"{\"c\":1,\"b\":2,\"a\":3,\"b\":4,\"c\":5}", u"{\"a\":3,\"b\":4,\"c\":5}"},
      {u"{\"ab\":1,\"a\\u0062\":2}", u"{\"ab\":2}"},
      {u"{\"a\\u0062\":{\"c\\u0064\":1,\"e\tf\":2},\"x\":3}",
       u"{\"ab\":{\"cd\":1,\"e\\tf\":2},\"x\":3}"}};
  // clang-format on
  for (const auto& [text, written] : cases) {
    SCOPED_TRACE(EncodeUtf16ToUtf8(text));
    const std::unique_ptr<CJsonValue> value = ParseJson(std::u16string(text));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(EncodeUtf16ToUtf8(ToJsonString(*value)), EncodeUtf16ToUtf8(written));
  }
}

TEST(ReaderErrorTest, RefusesMalformedText) {
  // clang-format off
  const char16_t* const cases[] = {
      u"", u" \t\r\n ", u"\f[]", u"\u00A0[]", u"x", u"]", u"}", u"[1,]", u"[1 2]", u"[,1]",
      u"[1,,2]", u"[,]", u"{\"a\":1,}", u"{\"a\" 1}", u"{a:1}", u"{'a':1}", u"{\"a\":}",
      u"{\"a\":1 \"b\":2}", u"{,}", u"{\"a\",1}", u"[", u"[ ", u"[1", u"[1,", u"{", u"{ ",
      u"{\"a\"", u"{\"a\":", u"{\"a\":1", u"{\"a\":1,", u"[1}", u"{\"a\":1]",
      u"[{\"a\":[1,{\"b\":]}]", u"tru", u"[tru]", u"fals", u"nul", u"[truex]", u"nil", u"1e",
      u"1e+", u"-", u"-a", u"1.", u"1.e5", u"+1", u".5", u"[012]", u"{\"a\":012}", u"[-012]",
      u"[00]", u"[0x10]", u"[Infinity]", u"[NaN]", u"\"a\nb\"", u"\"a\rb\"", u"\"\x01\"",
      u"\"\x1f\"", u"\"\\x41\"", u"\"\\U0041\"", u"\"\\a\"", u"\"\\0\"", u"\"\\u004\"",
      u"\"\\u12\"", u"\"\\u\"", u"\"\\u00g1\"", u"\"abc", u"\"abc\\", u"\"abc\\\"", u"'abc'"};
  // clang-format on
  for (const char16_t* text : cases) {
    EXPECT_EQ(ParseJson(std::u16string(text)), nullptr) << EncodeUtf16ToUtf8(text);
  }
}

// Arrays are gathered on a stack kept per thread: a failed read must not leave elements on it
// for the next read to pick up.
TEST(ReaderTest, FailedReadLeavesNothingForTheNext) {
  EXPECT_EQ(ParseJson(u"[1,[2,3,[4,"), nullptr);
  EXPECT_EQ(ParseJson(u"[[5,6],{\"a\":[7,8}]"), nullptr);
  const auto value = ParseJson(u"[9,[10]]");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(EncodeUtf16ToUtf8(ToJsonString(*value)), "[9,[10]]");
}

// strtod is correctly rounded; the reader must agree bit for bit.
TEST(ReaderTest, NumbersAreCorrectlyRounded) {
  std::istringstream texts(
      "0.1 0.3 1.05 123.456e-2 9007199254740993 123456789012345678901234567890 "
      "2.2250738585072014e-308 2.2250738585072011e-308 4.9406564584124654e-324 5e-324 "
      "1.7976931348623157e308 0.000001234567890123456789 1e23 8.589973e9 1e22 1e-22 "
      "-7.2057594037927933e16 0.1e1 100000000000000000000000e-10 3.141592653589793238462643");
  for (std::string text; texts >> text;) {
    const auto value = ParseJson(DecodeUtf8ToUtf16(text));
    ASSERT_NE(value, nullptr) << text;
    ASSERT_TRUE(value->IsNumber()) << text;
    EXPECT_EQ(value->GetNumber(), std::strtod(text.c_str(), nullptr)) << text;
  }
}

TEST(ReaderTest, OutOfRangeNumbersSaturate) {
  // clang-format off
  const std::pair<const char16_t*, double> cases[] = {
      {u"1e400", HUGE_VAL}, {u"-1e400", -HUGE_VAL}, {u"1e-400", 0.0}, {u"-1e-400", -0.0},
      {u"0.0000000000000000000000000000000000001e-300", 0.0},
      {u"100000000000000000000000000000000000000e300", HUGE_VAL},
      {u"1e99999999999999999999999", HUGE_VAL}, {u"1e-99999999999999999999999", 0.0},
      {u"0e99999", 0.0}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(EncodeUtf16ToUtf8(text));
    const auto value = ParseJson(text);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->GetNumber(), expected);
    EXPECT_EQ(std::signbit(value->GetNumber()), std::signbit(expected));
  }
}

TEST(ReaderTest, EscapesDecodeToSingleCodeUnits) {
  const auto value = ParseJson(u"\"\\\"\\'\\/\\\\\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00\\uDC00\"");
  ASSERT_NE(value, nullptr);
  ASSERT_TRUE(value->IsString());
  // Surrogates arrive as two escapes and stay two units; a lone one is kept unchecked.
  EXPECT_EQ(value->GetString(), u"\"'/\\\b\f\n\r\t\u00e9\xD83D\xDE00\xDC00");
}

TEST(ReaderTest, TextEndsAtTheFirstNul) {
  EXPECT_EQ(ParseJson(std::u16string(u"[1,\0 2]", 7)), nullptr);
  EXPECT_EQ(ParseJson(std::u16string(u"\"a\0b\"", 5)), nullptr);
  EXPECT_EQ(ParseJson(std::u16string(u"\0[1]", 4)), nullptr);
  const auto value = ParseJson(std::u16string(u"[1]\0garbage", 11));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(ToJsonString(*value), u"[1]");
  EXPECT_EQ(ParseJson(static_cast<const char16_t*>(nullptr)), nullptr);
}

std::u16string Repeat(std::u16string_view piece, int count) {
  std::u16string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

TEST(ReaderDepthTest, AcceptsNestingUpToTheBoundAndNotOneLevelMore) {
  for (const int depth : {kJsonMaxDepth, kJsonMaxDepth + 1}) {
    const bool fits = depth == kJsonMaxDepth;
    EXPECT_EQ(ParseJson(Repeat(u"[", depth) + Repeat(u"]", depth)) != nullptr, fits) << depth;
    EXPECT_EQ(ParseJson(Repeat(u"{\"a\":", depth) + u"1" + Repeat(u"}", depth)) != nullptr, fits)
        << depth;
  }
  EXPECT_NE(
      ParseJson(Repeat(u"[{\"a\":", kJsonMaxDepth / 2) + u"0" + Repeat(u"}]", kJsonMaxDepth / 2)),
      nullptr);
}

TEST(ReaderDepthTest, HostileNestingFailsWithoutExhaustingTheStack) {
  EXPECT_EQ(ParseJson(Repeat(u"[", 100000)), nullptr);
  EXPECT_EQ(ParseJson(Repeat(u"[", 100000) + Repeat(u"]", 100000)), nullptr);
  EXPECT_EQ(ParseJson(Repeat(u"{\"\":", 100000)), nullptr);
}

// Every failure below happens after part of a tree was built: under the leak checker these
// show that the partial tree is released on each path.
TEST(ReaderErrorPathTest, PartialTreesAreReleased) {
  for (const char16_t* text :
       {u"[\"a long string that is not small\",[1,2,{\"k\":\"v\"}],",
        u"{\"a\":{\"b\":[\"xxxxxxxxxxxxxxxxxxxxxxx\",{\"c\":1}]},\"d\":[1,2,3,",
        u"{\"a\":[1],\"a\":[2],\"a\":[3", u"[[[[[[\"deep\"]]]]]",
        u"{\"key that is long enough to allocate\":\"value\\q\"}", u"[\"ok\",\"bad\\u12",
        u"{\"a\":1,\"b\":tru}"}) {
    EXPECT_EQ(ParseJson(text), nullptr);
  }
}

}  // namespace
}  // namespace Logic
