#include "command/command_args.h"

#include <gtest/gtest.h>

#include <climits>

#include "command/pair_object.h"

namespace Logic {
namespace {

TEST(DecimalToLongTest, StopsAtTheFirstNonDigitAndSaturates) {
  const struct {
    const char16_t* text;
    LONG value;
  } cases[] = {{u"12", 12},
               {u"12px", 12},
               {u"abc", 0},
               {u"", 0},
               {u"-1", -1},
               {u"+5", 5},
               {u"  7", 7},
               {u"3.9", 3},
               {u"1 2", 1},
               {u"-", 0},
               {u"x12", 0},
               {u"007", 7},
               {u"2147483647", INT_MAX},
               {u"99999999999", INT_MAX},
               {u"-99999999999", INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(c.value, DecimalToLong(c.text));
}

TEST(CommandArgsTest, OnlyAnObjectIsAnArgumentText) {
  EXPECT_NE(nullptr, ParseCommandArguments(u"{\"tab_id\":1}"));
  EXPECT_NE(nullptr, ParseCommandArguments(u"{}"));
  for (const char16_t* bad :
       {u"[1]", u"\"text\"", u"{\"tab_id\":", u"", (const char16_t*)nullptr}) {
    EXPECT_EQ(nullptr, ParseCommandArguments(bad));
  }
}

TEST(CommandArgsTest, NumbersAreReadAsTheirText) {
  auto args = ParseCommandArguments(
      u"{\"a\":12,\"b\":\"34\",\"c\":\"5x\",\"d\":true,\"e\":-3,\"f\":1234567,\"g\":2.5}");
  ASSERT_NE(nullptr, args);
  const struct {
    const char16_t* key;
    LONG value;
  } cases[] = {{u"a", 12}, {u"b", 34},      {u"c", 5}, {u"d", 0},
               {u"e", -3}, {u"f", 1234567}, {u"g", 2}};
  for (const auto& c : cases) {
    LONG value = -100;
    EXPECT_TRUE(ReadNumberMember(*args, c.key, &value));
    EXPECT_EQ(c.value, value) << static_cast<char>(c.key[0]);
  }
}

TEST(CommandArgsTest, MembersAreMatchedExactlyAndTakenAsTheyStand) {
  auto args =
      ParseCommandArguments(u"{\"Tab_id\":5,\"url\":\" http://a/ \",\"obj\":{\"k\":[1,\"v\"]}}");
  ASSERT_NE(nullptr, args);
  LONG tab_id = -1;
  std::u16string text = u"default", url, obj;
  EXPECT_FALSE(ReadNumberMember(*args, u"tab_id", &tab_id));
  EXPECT_FALSE(ReadTextMember(*args, u"title", &text));
  EXPECT_EQ(-1, tab_id);
  EXPECT_EQ(u"default", text);
  ASSERT_TRUE(ReadTextMember(*args, u"url", &url));
  ASSERT_TRUE(ReadTextMember(*args, u"obj", &obj));
  EXPECT_EQ(u" http://a/ ", url);
  EXPECT_EQ(u"{\"k\":[1,\"v\"]}", obj);
}

TEST(CommandArgsTest, MalformedMessageUsesAsciiPunctuation) {
  const std::u16string message = kMalformedArgumentsMessage;
  ASSERT_EQ(12u, message.size());
  EXPECT_EQ(u',', message[6]);  // not the full-width comma
  EXPECT_EQ(u'.', message[11]);
}

TEST(PairObjectTest, WritesPairsUnescapedWithOnlyTheLastCommaDropped) {
  EXPECT_EQ(u"{\r\n}", CPairObject().ToString());
  CPairObject pairs;
  pairs.Add(u"tab_id", 12);
  EXPECT_EQ(std::vector<std::u16string>{u"\"tab_id\":\"12\","}, pairs.items());
  pairs.Add(u"frame_id", INT_MIN);
  pairs.Add(u"title", u"a,\"b\"");
  pairs.AddJson(u"result", u"{\"a\":1}");
  EXPECT_EQ(
      u"{\r\n\"tab_id\":\"12\",\"frame_id\":\"-2147483648\",\"title\":\"a,\"b\"\","
      u"\"result\":{\"a\":1}}",
      pairs.ToString());
}

}  // namespace
}  // namespace Logic
