#include "command/command_args.h"

#include <gtest/gtest.h>

#include <climits>

#include "command/pair_object.h"

namespace Logic {
namespace {

TEST(CommandArgsTest, DecimalToLongStopsAtTheFirstNonDigitAndSaturates) {
  const std::pair<const char16_t*, LONG> cases[] = {{u"12px", 12},
                                                    {u"x12", 0},
                                                    {u"", 0},
                                                    {u"-1", -1},
                                                    {u"+5", 5},
                                                    {u" \t7", 7},
                                                    {u"2147483647", INT_MAX},
                                                    {u"2147483648", INT_MAX},
                                                    {u"-2147483648", INT_MIN},
                                                    {u"-99999999999", INT_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(value, DecimalToLong(text));
}

TEST(CommandArgsTest, MembersAreMatchedExactlyAndReadAsTheirText) {
  auto args = ParseCommandArguments(
      u"{\"a\":12,\"b\":\"34\",\"c\":\"5x\",\"d\":true,\"f\":1234567,\"g\":2.5,"
      u"\"url\":\" http://a/ \",\"obj\":{\"k\":[1,\"v\"]}}");
  ASSERT_NE(nullptr, args);
  const std::pair<const char16_t*, LONG> numbers[] = {{u"a", 12}, {u"b", 34},      {u"c", 5},
                                                      {u"d", 0},  {u"f", 1234567}, {u"g", 2}};
  for (const auto& [key, expected] : numbers) {
    LONG value = -100;
    EXPECT_TRUE(ReadNumberMember(*args, key, &value));
    EXPECT_EQ(expected, value) << static_cast<char>(key[0]);
  }
  LONG absent = -1;
  EXPECT_FALSE(ReadNumberMember(*args, u"A", &absent));
  EXPECT_EQ(-1, absent);
  const std::pair<const char16_t*, const char16_t*> texts[] = {
      {u"url", u" http://a/ "}, {u"obj", u"{\"k\":[1,\"v\"]}"}, {u"title", u"default"}};
  for (const auto& [key, expected] : texts) {
    std::u16string text = u"default";
    EXPECT_EQ(std::u16string(key) != u"title", ReadTextMember(*args, key, &text));
    EXPECT_EQ(expected, text);
  }
}

TEST(PairObjectTest, WritesPairsUnescapedWithOnlyTheLastCommaDropped) {
  EXPECT_EQ(u"{\r\n}", CPairObject().ToString());
  CPairObject pairs;
  pairs.Add(u"tab_id", 12);
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
