// The process's API group table: its groups, sizes, lower-cased names and the two names that
// keep a trailing TAB.

#include "permission/api_group_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Logic::ApiGroupTable;

struct GroupSize {
  const char16_t* group;
  size_t names;
};

constexpr GroupSize kGroupSizes[] = {
    {u"global", 22},
    {u"emailverify", 3},
    {u"crash", 2},
    {u"application", 15},
    {u"intercept", 1},
    {u"nav", 1},
    {u"xhr", 1},
    {u"history", 13},
    {u"tabpage", 20},
    {u"downloads", 12},
    {u"bookmarks", 14},
    {u"clipboarddata", 2},
    {u"utility", 12},
    {u"ui", 7},
    {u"login", 1},
    {u"pageextension", 1},
    {u"nonpermissionfunction", 38},
};

TEST(ApiGroupTableTest, HoldsSeventeenGroupsOf165Names) {
  const ApiGroupTable& table = ApiGroupTable::Get();
  EXPECT_EQ(17u, table.groups().size());
  size_t total = 0;
  for (const GroupSize& expected : kGroupSizes) {
    const ApiGroupTable::NameSet* names = table.Find(expected.group);
    ASSERT_NE(nullptr, names) << std::string(expected.group, expected.group + 3);
    EXPECT_EQ(expected.names, names->size());
    total += names->size();
  }
  EXPECT_EQ(165u, total);
}

TEST(ApiGroupTableTest, NamesAreStoredLowerCased) {
  for (const auto& [group, names] : ApiGroupTable::Get().groups()) {
    for (const std::u16string& name : names) {
      for (char16_t c : name) EXPECT_FALSE(c >= u'A' && c <= u'Z');
    }
  }
  const ApiGroupTable::NameSet* bookmarks = ApiGroupTable::Get().Find(u"bookmarks");
  ASSERT_NE(nullptr, bookmarks);
  EXPECT_EQ(1u, bookmarks->count(u"hcbrowser.bookmarks.gettree"));
  EXPECT_EQ(0u, bookmarks->count(u"hcbrowser.bookmarks.getTree"));
}

TEST(ApiGroupTableTest, ExactlyTwoNamesKeepTheirTrailingTab) {
  int with_tab = 0;
  for (const auto& [group, names] : ApiGroupTable::Get().groups()) {
    for (const std::u16string& name : names) {
      if (name.find(u'\t') != std::u16string::npos) {
        ++with_tab;
        EXPECT_EQ(u'\t', name.back());
      }
    }
  }
  EXPECT_EQ(2, with_tab);
  const ApiGroupTable& table = ApiGroupTable::Get();
  EXPECT_EQ(1u, table.Find(u"application")->count(u"hcbrowser.application.getsyncinfo\t"));
  EXPECT_EQ(0u, table.Find(u"application")->count(u"hcbrowser.application.getsyncinfo"));
  EXPECT_EQ(1u, table.Find(u"history")->count(u"hcbrowser.history.getfrequently\t"));
  EXPECT_EQ(0u, table.Find(u"history")->count(u"hcbrowser.history.getfrequently"));
}

TEST(ApiGroupTableTest, GroupNamesAreMatchedExactly) {
  const ApiGroupTable& table = ApiGroupTable::Get();
  EXPECT_EQ(nullptr, table.Find(u"History"));
  EXPECT_EQ(nullptr, table.Find(u"history "));
  EXPECT_EQ(nullptr, table.Find(u""));
  EXPECT_EQ(nullptr, table.Find(u"file"));
}

TEST(ApiGroupTableTest, AddingToAnExistingGroupMergesAndKeepsEachNameOnce) {
  ApiGroupTable table;
  const char16_t* const more[] = {u"X.One", u"x.one", u"hcbrowser.nav.getNavInfo", u"x.Two"};
  table.AddGroup(u"nav", more, std::size(more));
  const ApiGroupTable::NameSet* nav = table.Find(u"nav");
  ASSERT_NE(nullptr, nav);
  EXPECT_EQ((ApiGroupTable::NameSet{u"hcbrowser.nav.getnavinfo", u"x.one", u"x.two"}), *nav);
  table.AddGroup(u"Fresh", more, 1);
  ASSERT_NE(nullptr, table.Find(u"Fresh"));  // group names stay as written
  EXPECT_EQ(nullptr, table.Find(u"fresh"));
  EXPECT_EQ(18u, table.groups().size());
}

TEST(ApiGroupTableTest, LowerCasingFoldsOnlyAsciiLetters) {
  EXPECT_EQ(u"abc.xyz-09_@[`{\u00c9\u0130\u03a3",
            Logic::LowerCasePermissionText(u"ABC.xYz-09_@[`{\u00c9\u0130\u03a3"));
}

}  // namespace
