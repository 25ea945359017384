// The reader's contract: what it accepts, what it rejects, and the values it builds.

#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "json/json_writer.h"
#include "json/utf8_text.h"

namespace Logic {
namespace {

struct ReadCase {
  const char16_t* text;
  // The value written back compactly, or nullptr when reading must fail.
  const char16_t* written;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << EncodeUtf16ToUtf8(c.text); }

class ReaderTableTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReaderTableTest, ReadsOrRejects) {
  const ReadCase& c = GetParam();
  const std::unique_ptr<CJsonValue> value = ParseJson(std::u16string(c.text));
  if (!c.written) {
    EXPECT_EQ(value, nullptr);
    return;
  }
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(EncodeUtf16ToUtf8(ToJsonString(*value)), EncodeUtf16ToUtf8(c.written));
}

INSTANTIATE_TEST_SUITE_P(
    EmptyAndContainers, ReaderTableTest,
    testing::Values(ReadCase{u"", nullptr}, ReadCase{u" \t\r\n ", nullptr}, ReadCase{u"[]", u"[]"},
                    ReadCase{u"[ \t\r\n ]", u"[]"}, ReadCase{u"{}", u"{}"},
                    ReadCase{u"{ \r\n\t }", u"{}"}, ReadCase{u" \n[1, 2 ,\t3 ]", u"[1,2,3]"},
                    ReadCase{u"{ \"a\" : [ ] , \"b\" : { } }", u"{\"a\":[],\"b\":{}}"},
                    ReadCase{u"[[[]],[{}]]", u"[[[]],[{}]]"}, ReadCase{u"\f[]", nullptr},
                    ReadCase{u"\u00A0[]", nullptr}, ReadCase{u"x", nullptr},
                    ReadCase{u"]", nullptr}, ReadCase{u"}", nullptr}));

INSTANTIATE_TEST_SUITE_P(
    MalformedContainers, ReaderTableTest,
    testing::Values(ReadCase{u"[1,]", nullptr}, ReadCase{u"[1 2]", nullptr},
                    ReadCase{u"[,1]", nullptr}, ReadCase{u"[1,,2]", nullptr},
                    ReadCase{u"[,]", nullptr}, ReadCase{u"{\"a\":1,}", nullptr},
                    ReadCase{u"{\"a\" 1}", nullptr}, ReadCase{u"{a:1}", nullptr},
                    ReadCase{u"{'a':1}", nullptr}, ReadCase{u"{\"a\":}", nullptr},
                    ReadCase{u"{\"a\":1 \"b\":2}", nullptr}, ReadCase{u"{,}", nullptr},
                    ReadCase{u"{\"a\",1}", nullptr}, ReadCase{u"[", nullptr},
                    ReadCase{u"[ ", nullptr}, ReadCase{u"[1", nullptr}, ReadCase{u"[1,", nullptr},
                    ReadCase{u"{", nullptr}, ReadCase{u"{ ", nullptr}, ReadCase{u"{\"a\"", nullptr},
                    ReadCase{u"{\"a\":", nullptr}, ReadCase{u"{\"a\":1", nullptr},
                    ReadCase{u"{\"a\":1,", nullptr}, ReadCase{u"[1}", nullptr},
                    ReadCase{u"{\"a\":1]", nullptr}, ReadCase{u"[{\"a\":[1,{\"b\":]}]", nullptr}));

INSTANTIATE_TEST_SUITE_P(Literals, ReaderTableTest,
                         testing::Values(ReadCase{u"true", u"true"}, ReadCase{u"TRUE", u"true"},
                                         ReadCase{u"tRuE", u"true"}, ReadCase{u"false", u"false"},
                                         ReadCase{u"FaLsE", u"false"}, ReadCase{u"null", u"null"},
                                         ReadCase{u"NULL", u"null"},
                                         ReadCase{u"[nUlL,True,fALSE]", u"[null,true,false]"},
                                         ReadCase{u"tru", nullptr}, ReadCase{u"[tru]", nullptr},
                                         ReadCase{u"fals", nullptr}, ReadCase{u"nul", nullptr},
                                         ReadCase{u"[truex]", nullptr}, ReadCase{u"nil", nullptr},
                                         ReadCase{u"True1", u"true"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ReaderTableTest,
    testing::Values(ReadCase{u"1.05", u"1.05"}, ReadCase{u"-0.5e2", u"-50"},
                    ReadCase{u"1E2", u"100"}, ReadCase{u"1e+2", u"100"}, ReadCase{u"1e-2", u"0.01"},
                    ReadCase{u"-0", u"-0"}, ReadCase{u"0", u"0"}, ReadCase{u"1e", nullptr},
                    ReadCase{u"1e+", nullptr}, ReadCase{u"-", nullptr}, ReadCase{u"-a", nullptr},
                    ReadCase{u"1.", nullptr}, ReadCase{u"1.e5", nullptr}, ReadCase{u"+1", nullptr},
                    ReadCase{u".5", nullptr}, ReadCase{u"[012]", nullptr},
                    ReadCase{u"{\"a\":012}", nullptr}, ReadCase{u"[-012]", nullptr},
                    ReadCase{u"012", u"0"}, ReadCase{u"[0.5,-0.25]", u"[0.5,-0.25]"},
                    ReadCase{u"[1e400,-1e400]", u"[null,null]"}, ReadCase{u"[00]", nullptr},
                    ReadCase{u"[0x10]", nullptr}, ReadCase{u"[Infinity]", nullptr},
                    ReadCase{u"[NaN]", nullptr}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ReaderTableTest,
    testing::Values(ReadCase{u"\"a\tb\"", u"\"a\\tb\""}, ReadCase{u"\"a\nb\"", nullptr},
                    ReadCase{u"\"a\rb\"", nullptr}, ReadCase{u"\"\x01\"", nullptr},
                    ReadCase{u"\"\x1f\"", nullptr}, ReadCase{u"\"\x7f\"", u"\"\x7f\""},
                    ReadCase{u"\"\\x41\"", nullptr}, ReadCase{u"\"\\U0041\"", nullptr},
                    ReadCase{u"\"\\a\"", nullptr}, ReadCase{u"\"\\0\"", nullptr},
                    ReadCase{u"\"\\u00e9\"", u"\"\u00e9\""},
                    ReadCase{u"\"\\u00E9\"", u"\"\u00e9\""}, ReadCase{u"\"\\u004\"", nullptr},
                    ReadCase{u"\"\\u12\"", nullptr}, ReadCase{u"\"\\u\"", nullptr},
                    ReadCase{u"\"\\u00g1\"", nullptr}, ReadCase{u"\"\\u0041\\u0042\"", u"\"AB\""},
                    ReadCase{u"\"abc", nullptr}, ReadCase{u"\"abc\\", nullptr},
                    ReadCase{u"\"abc\\\"", nullptr}, ReadCase{u"'abc'", nullptr},
                    ReadCase{u"\"\u4e2d\u6587\"", u"\"\u4e2d\u6587\""},
                    ReadCase{u"\"\\/\\'\"", u"\"\\/'\""}));

INSTANTIATE_TEST_SUITE_P(
    KeysAndTrailingText, ReaderTableTest,
    testing::Values(
        ReadCase{u"{\"a\":1,\"a\":2}", u"{\"a\":2}"},
        ReadCase{u"{\"a\":[1,2],\"b\":0,\"a\":{\"c\":3}}", u"{\"a\":{\"c\":3},\"b\":0}"},
        ReadCase{u"{\"b\":1,\"a\":2}", u"{\"a\":2,\"b\":1}"}, ReadCase{u"{\"\":1}", u"{\"\":1}"},
        ReadCase{u"{\"a\\u0000b\":1}", u"{\"a\\u0000b\":1}"}, ReadCase{u"[1] x", u"[1]"},
        ReadCase{u"{}}", u"{}"}, ReadCase{u"1 2", u"1"}, ReadCase{u"\"a\"\"b\"", u"\"a\""},
        ReadCase{u"nulls", u"null"}, ReadCase{u"[1]]]", u"[1]"},
        // Keys out of order, repeated, and spelled with escapes.
        ReadCase{u"{\"c\":1,\"b\":2,\"a\":3,\"b\":4,\"c\":5}", u"{\"a\":3,\"b\":4,\"c\":5}"},
        ReadCase{u"{\"ab\":1,\"a\\u0062\":2}", u"{\"ab\":2}"},
        ReadCase{u"{\"a\\u0062\":{\"c\\u0064\":1,\"e\tf\":2},\"x\":3}",
                 u"{\"ab\":{\"cd\":1,\"e\\tf\":2},\"x\":3}"}));

// Arrays are gathered on a stack kept per thread: a failed read must not leave elements on it
// for the next read to pick up.
TEST(ReaderTest, FailedReadLeavesNothingForTheNext) {
  EXPECT_EQ(ParseJson(u"[1,[2,3,[4,"), nullptr);
  EXPECT_EQ(ParseJson(u"[[5,6],{\"a\":[7,8}]"), nullptr);
  const auto value = ParseJson(u"[9,[10]]");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(EncodeUtf16ToUtf8(ToJsonString(*value)), "[9,[10]]");
}

TEST(ReaderTest, NumbersAreCorrectlyRounded) {
  // strtod is correctly rounded; the reader must agree bit for bit.
  const char* texts[] = {"0.1",
                         "0.3",
                         "1.05",
                         "123.456e-2",
                         "9007199254740993",
                         "123456789012345678901234567890",
                         "2.2250738585072014e-308",
                         "2.2250738585072011e-308",
                         "4.9406564584124654e-324",
                         "5e-324",
                         "1.7976931348623157e308",
                         "0.000001234567890123456789",
                         "1e23",
                         "8.589973e9",
                         "1e22",
                         "1e-22",
                         "-7.2057594037927933e16",
                         "0.1e1",
                         "100000000000000000000000e-10",
                         "3.141592653589793238462643"};
  for (const char* text : texts) {
    const auto value = ParseJson(DecodeUtf8ToUtf16(text));
    ASSERT_NE(value, nullptr) << text;
    ASSERT_TRUE(value->IsNumber()) << text;
    EXPECT_EQ(value->GetNumber(), std::strtod(text, nullptr)) << text;
  }
}

TEST(ReaderTest, OutOfRangeNumbersSaturate) {
  struct {
    const char16_t* text;
    double expected;
  } cases[] = {{u"1e400", HUGE_VAL},
               {u"-1e400", -HUGE_VAL},
               {u"1e-400", 0.0},
               {u"-1e-400", -0.0},
               {u"0.0000000000000000000000000000000000001e-300", 0.0},
               {u"100000000000000000000000000000000000000e300", HUGE_VAL},
               {u"1e99999999999999999999999", HUGE_VAL},
               {u"1e-99999999999999999999999", 0.0},
               {u"0e99999", 0.0}};
  for (const auto& c : cases) {
    const auto value = ParseJson(c.text);
    ASSERT_NE(value, nullptr) << EncodeUtf16ToUtf8(c.text);
    EXPECT_EQ(value->GetNumber(), c.expected) << EncodeUtf16ToUtf8(c.text);
    EXPECT_EQ(std::signbit(value->GetNumber()), std::signbit(c.expected))
        << EncodeUtf16ToUtf8(c.text);
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

TEST(ReaderTest, BuildsTheTreeWithTypesAndOrder) {
  const auto value = ParseJson(u"{\"z\":[1,\"two\",true,null,{}],\"A\":false}");
  ASSERT_NE(value, nullptr);
  ASSERT_TRUE(value->IsObject());
  const CJsonValue::Object& members = value->GetObject();
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members.begin()->first, u"A");  // Code-unit order: 'A' < 'z'.
  EXPECT_EQ(members.begin()->second->type(), kJsonBool);
  EXPECT_FALSE(members.begin()->second->GetBool());
  const CJsonValue::Array& elements = members.find(u"z")->second->GetArray();
  ASSERT_EQ(elements.size(), 5u);
  EXPECT_EQ(elements[0]->GetNumber(), 1.0);
  EXPECT_EQ(elements[1]->GetString(), u"two");
  EXPECT_TRUE(elements[2]->GetBool());
  EXPECT_EQ(elements[3]->type(), kJsonNull);
  EXPECT_TRUE(elements[4]->IsObject());
  EXPECT_TRUE(elements[4]->GetObject().empty());
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
  const char16_t* texts[] = {
      u"[\"a long string that is not small\",[1,2,{\"k\":\"v\"}],",
      u"{\"a\":{\"b\":[\"xxxxxxxxxxxxxxxxxxxxxxx\",{\"c\":1}]},\"d\":[1,2,3,",
      u"{\"a\":[1],\"a\":[2],\"a\":[3",
      u"[[[[[[\"deep\"]]]]]",
      u"{\"key that is long enough to allocate\":\"value\\q\"}",
      u"[\"ok\",\"bad\\u12",
      u"{\"a\":1,\"b\":tru}",
  };
  for (const char16_t* text : texts) EXPECT_EQ(ParseJson(text), nullptr);
}

}  // namespace
}  // namespace Logic
