#include "command/pair_object.h"

#include <gtest/gtest.h>

#include <climits>

namespace Logic {
namespace {

TEST(PairObjectTest, OnePairIsBraceCrLfItemBrace) {
  CPairObject pairs;
  pairs.Add(u"url", u"http://a.example/");
  EXPECT_EQ(u"{\r\n\"url\":\"http://a.example/\"}", pairs.ToString());
}

TEST(PairObjectTest, OnlyTheLastCommaIsDropped) {
  CPairObject pairs;
  pairs.Add(u"tab_id", 12);
  pairs.Add(u"frame_id", -1);
  pairs.Add(u"title", u"a,b");
  EXPECT_EQ(u"{\r\n\"tab_id\":\"12\",\"frame_id\":\"-1\",\"title\":\"a,b\"}", pairs.ToString());
}

TEST(PairObjectTest, JsonValuesAreInsertedUnquoted) {
  CPairObject pairs;
  pairs.AddJson(u"result", u"{\"a\":1}");
  pairs.Add(u"id", u"");
  EXPECT_EQ(u"{\r\n\"result\":{\"a\":1},\"id\":\"\"}", pairs.ToString());
}

TEST(PairObjectTest, NoPairsGiveAnEmptyObjectText) {
  EXPECT_EQ(u"{\r\n}", CPairObject().ToString());
}

TEST(PairObjectTest, ItemsKeepTheirCommas) {
  CPairObject pairs;
  pairs.Add(u"tab_id", 5);
  ASSERT_EQ(1u, pairs.items().size());
  EXPECT_EQ(u"\"tab_id\":\"5\",", pairs.items()[0]);
}

TEST(PairObjectTest, ValuesAreNotEscaped) {
  CPairObject pairs;
  pairs.Add(u"user", u"a\"b");
  EXPECT_EQ(u"{\r\n\"user\":\"a\"b\"}", pairs.ToString());
}

TEST(DecimalTextTest, WritesAsPercentD) {
  struct Case {
    LONG value;
    const char16_t* text;
  } cases[] = {{0, u"0"},
               {7, u"7"},
               {-1, u"-1"},
               {254, u"254"},
               {INT_MAX, u"2147483647"},
               {INT_MIN, u"-2147483648"}};
  for (const Case& c : cases) EXPECT_EQ(c.text, DecimalText(c.value)) << c.value;
}

}  // namespace
}  // namespace Logic
