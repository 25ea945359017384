// Permission sets: how the manifest's strings are split into groups and patterns, the answers
// of the API and URL checks, and loading from lists that fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "permission/api_group_table.h"
#include "permission/permission_test_util.h"
#include "platform/strings.h"

namespace permission_test {
namespace {

using Logic::ApiGroupTable;

struct CheckCase {
  List permissions;
  std::u16string query;
  HRESULT expected;
};

void ExpectAnswers(const std::vector<CheckCase>& cases,
                   HRESULT (*check)(Logic::IPermissionSet*, const std::u16string&)) {
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.query.substr(0, 60)));
    ComPtr<Logic::IPermissionSet> set = MakeSet(c.permissions);
    ASSERT_TRUE(set);
    EXPECT_EQ(c.expected, check(set.Get(), c.query));
  }
}

TEST(PermissionSetTest, ApiChecks) {
  // clang-format off
  ExpectAnswers({
      {{u"History"}, u"hcbrowser.history.search", S_OK},
      {{u"bookmarks"}, u"HCBROWSER.BOOKMARKS.GETTREE", S_OK},
      {{u"bookmarks"}, u"hcbrowser.bookmarks.getTree", S_OK},
      {{u"bookmarks"}, u"hcbrowser.history.search", S_FALSE},
      {{}, u"hcbrowser.history.search", S_FALSE}, {{}, u"extension.invoke.register", S_OK},
      // Two names keep a trailing TAB: only the name with it is granted.
      {{u"history"}, u"hcbrowser.history.getFrequently", S_FALSE},
      {{u"history"}, u"hcbrowser.history.getFrequently\t", S_OK},
      {{u"application"}, u"hcbrowser.application.getSyncInfo", S_FALSE},
      {{u"application"}, u"HCBROWSER.APPLICATION.GETSYNCINFO\t", S_OK},
      {{u"history", u"bookmarks"}, u"hcbrowser.history.searchx", S_FALSE},
      {{u"history"}, u"history", S_FALSE}, {{u"history"}, u"", S_FALSE},
      {{u"tabs"}, u"hcbrowser.tabs.query", S_FALSE},
      {{u" history"}, u"hcbrowser.history.search", S_FALSE},
      {{u"history"}, u"HCBROWSER.H\u0130STORY.SEARCH", S_FALSE},
      {{u"history"}, std::u16string(u"hcbrowser.history.search\0x", 26), S_OK},
      {{u"http://history/*"}, u"hcbrowser.history.search", S_FALSE},
      {{u"file"}, u"hcbrowser.global.openPage", S_FALSE},
      {{u"NonPermissionFunction"}, u"extension.urlanalysis.getextid", S_OK},
  }, CheckApi);
  // clang-format on
}

// Every name of the table, for a set holding one group written in capitals: granted exactly
// when it is the group's own or a "nonpermissionfunction" name.
TEST(PermissionSetTest, EachGroupGrantsExactlyItsNamesAndTheFreeOnes) {
  const auto& groups = ApiGroupTable::Get().groups();
  const ApiGroupTable::NameSet& free = groups.at(u"nonpermissionfunction");
  for (const auto& [group, own] : groups) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(group));
    std::u16string written = group;
    for (char16_t& ch : written) ch = (ch >= u'a' && ch <= u'z') ? ch - u'a' + u'A' : ch;
    ComPtr<Logic::IPermissionSet> set = MakeSet({written});
    ASSERT_TRUE(set);
    for (const auto& [other, names] : groups) {
      for (const std::u16string& name : names) {
        const bool granted = own.count(name) || free.count(name);
        EXPECT_EQ(granted ? S_OK : S_FALSE, CheckApi(set.Get(), name)) << halcy::Utf16ToUtf8(name);
      }
    }
  }
}

// What a set adds to pattern matching (tested on its own in the url tests): which strings are
// patterns, lower-casing, <all_urls>, the URL length bound and text read up to a NUL.
TEST(PermissionSetTest, UrlChecks) {
  const std::u16string long_url = u"http://a.com/" + std::u16string(4090, u'x');  // 4103 chars
  const std::u16string sub = u"http://*.halcy.cn/*";
  // clang-format off
  ExpectAnswers({
      {{}, u"http://www.halcy.cn/", S_FALSE}, {{u"history", u"file"}, u"file:///home/a", S_FALSE},
      {{u"<all_urls>"}, u"ftp://x.y/z", S_OK}, {{u"<all_urls>"}, u"javascript:void(0)", S_OK},
      {{u"<all_urls>"}, u"not a url", S_OK}, {{u"<all_urls>"}, long_url, S_OK},
      {{u"<ALL_URLS>"}, u"http://a.com/", S_FALSE},  // a group name
      {{sub}, u"http://www.halcy.cn/a", S_OK}, {{sub}, u"http://evilhalcy.cn/", S_FALSE},
      {{sub}, u"HTTP://WWW.HALCY.CN/X", S_OK},
      {{u"HTTP://*.Halcy.CN/*"}, u"http://www.halcy.cn/x", S_OK},
      // The pattern is lower-cased whole, its path too.
      {{u"http://a.com/Path/*"}, u"http://a.com/path/x", S_OK},
      {{u"http://a.com/Path/*"}, u"http://a.com/Path/x", S_FALSE},
      {{u"*://*/*"}, u"https://any.where/", S_OK}, {{u"*://*/*"}, u"ftp://any.where/", S_FALSE},
      {{u"file:///home/*"}, u"file:///home/user/a.txt", S_OK},
      {{u"http://a.com/*", u"https://b.com/*"}, u"https://b.com/", S_OK},
      {{u"history", u"https://b.com/*", u"bookmarks"}, u"https://b.com/q", S_OK},
      {{u"http://*x.com/*"}, u"http://ax.com/", S_FALSE},  // invalid: taken as a group
      {{u"http://a.com/*"}, long_url, S_FALSE}, {{u"http://a.com/*"}, u"", S_FALSE},
      {{u"http://a.com/x"}, std::u16string(u"http://a.com/x\0/y", 17), S_OK},
      {{u"http://a.com/*"}, u"http://a.com/%", S_OK},
      {{u"http://a.com/*"}, u"http://a.com/\xd800", S_OK},
      {{u"http://*.xn--mnchen-3ya.de/*"}, u"http://www.m\u00fcnchen.de/", S_OK},
  }, CheckUrl);
  // clang-format on
}

// --- Loading ---

TEST(PermissionSetLoadTest, LoadingAddsToWhatIsThereAndANullListAddsNothing) {
  ComPtr<Logic::IPermissionSet> set = MakeSet({u"history"});
  ASSERT_TRUE(set);
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://a.com/"));
  EXPECT_EQ(S_OK, set->LoadPermissions(MakeList({u"http://a.com/*"}).Get()));
  EXPECT_EQ(S_OK, set->LoadPermissions(nullptr));
  // Initialize and UnInitialize leave the set as it is.
  EXPECT_EQ(S_OK, set->Initialize());
  EXPECT_EQ(S_OK, set->UnInitialize());
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), u"http://a.com/"));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"extension.invoke.cmd.uploadlog"));
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
  ComPtr<IProvideClassInfo> info;
  EXPECT_EQ(S_OK, set.As(&info));
}

TEST(PermissionSetLoadTest, AFailedReadGrantsNothingAndTheRestStillLoads) {
  auto list = halcy::MakeComObject<CScriptedStringList>();
  list->items = {u"xhr", u"history", u"http://a.com/*", u"bookmarks"};
  list->failing = {1};
  list->null_items = {2};
  ComPtr<Logic::IPermissionSet> set = MakeSet({});
  ASSERT_EQ(S_OK, set->LoadPermissions(list.Get()));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://a.com/"));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.bookmarks.get"));
}

TEST(PermissionSetLoadTest, TheCountDecidesHowManyItemsAreRead) {
  // A count that fails or is not positive loads nothing; one beyond the items reads the
  // missing ones as empty.
  const struct {
    HRESULT count_result;
    LONG count;
    HRESULT xhr;
  } cases[] = {{E_FAIL, 2, S_FALSE}, {S_OK, 0, S_FALSE}, {S_OK, -5, S_FALSE}, {S_OK, 3, S_OK}};
  for (const auto& c : cases) {
    auto list = halcy::MakeComObject<CScriptedStringList>();
    list->items = {u"xhr"};
    list->count_result = c.count_result;
    list->count = c.count;
    ComPtr<Logic::IPermissionSet> set = MakeSet({});
    EXPECT_EQ(S_OK, set->LoadPermissions(list.Get()));
    EXPECT_EQ(c.xhr, CheckApi(set.Get(), u"hcbrowser.xhr.send")) << c.count;
  }
}

TEST(PermissionSetLoadTest, HostileStringsAreStoredWithoutHarm) {
  const std::u16string long_host = u"http://" + std::u16string(300, u'a') + u".com/";
  ComPtr<Logic::IPermissionSet> set =
      MakeSet({std::u16string(100000, u'h'), long_host + u"*", std::u16string(u"hist\0ory", 8),
               u"\xdc00\xd800", u"%zz", u"*://*.:99999/*", u"file"});
  ASSERT_TRUE(set);
  // "hist" (read up to the NUL) names no group.
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"extension.invoke.register"));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), long_host + u"x"));
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://b.com:99999/x"));
}

}  // namespace
}  // namespace permission_test
