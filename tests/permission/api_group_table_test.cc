// The process's API group table: its groups and sizes, lower-cased names, the two names that
// keep a trailing TAB, and merging into a group.
#include "permission/api_group_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Logic::ApiGroupTable;

TEST(ApiGroupTableTest, HoldsSeventeenGroupsOf165LowerCasedNames) {
  const ApiGroupTable& table = ApiGroupTable::Get();
  std::string sizes;
  for (const auto& [group, names] : table.groups()) {
    sizes += std::string(group.begin(), group.end()) + " " + std::to_string(names.size()) + ", ";
  }
  EXPECT_EQ(
      "application 15, bookmarks 14, clipboarddata 2, crash 2, downloads 12, emailverify 3, "
      "global 22, history 13, intercept 1, login 1, nav 1, nonpermissionfunction 38, "
      "pageextension 1, tabpage 20, ui 7, utility 12, xhr 1, ",
      sizes);
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
