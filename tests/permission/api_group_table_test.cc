// The process's API group table: its groups and sizes, lower-cased names, the two names that
// keep a trailing TAB, and merging into a group.
#include "permission/api_group_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Logic::ApiGroupTable;

TEST(ApiGroupTableTest, HoldsSeventeenGroupsOf165LowerCasedNames) {
  const std::pair<const char16_t*, size_t> sizes[] = {{u"global", 22},
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
                                                      {u"nonpermissionfunction", 38}};
  const ApiGroupTable& table = ApiGroupTable::Get();
  EXPECT_EQ(17u, table.groups().size());
  for (const auto& [group, size] : sizes) {
    const ApiGroupTable::NameSet* names = table.Find(group);
    ASSERT_NE(nullptr, names) << std::string(group, group + 3);
    EXPECT_EQ(size, names->size());
  }
  int with_tab = 0;
  for (const auto& [group, names] : table.groups()) {
    for (const std::u16string& name : names) {
      for (char16_t c : name) EXPECT_FALSE(c >= u'A' && c <= u'Z');
      with_tab += name.find(u'\t') != std::u16string::npos;
    }
  }
  EXPECT_EQ(1u, table.Find(u"bookmarks")->count(u"hcbrowser.bookmarks.gettree"));
  // Exactly two names keep the trailing TAB they were written with.
  EXPECT_EQ(2, with_tab);
  EXPECT_EQ(1u, table.Find(u"application")->count(u"hcbrowser.application.getsyncinfo\t"));
  EXPECT_EQ(1u, table.Find(u"history")->count(u"hcbrowser.history.getfrequently\t"));
  for (const char16_t* name : {u"History", u"history ", u"", u"file"}) {
    EXPECT_EQ(nullptr, table.Find(name));
  }
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
