// Permission sets: how the manifest's strings are split into groups and patterns, and the
// answers of the API and URL checks.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "permission/api_group_table.h"
#include "permission/permission_test_util.h"
#include "platform/strings.h"

namespace permission_test {
namespace {

using Logic::ApiGroupTable;
using List = std::vector<std::u16string>;

std::string Narrow(const std::u16string& text) { return halcy::Utf16ToUtf8(text); }

// --- Checks, table-driven ---

// One check of a set loaded from `permissions`: the API name or URL `query`.
struct CheckCase {
  const char* name;
  List permissions;
  std::u16string query;
  HRESULT expected;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class PermissionSetApiTest : public testing::TestWithParam<CheckCase> {};
class PermissionSetUrlTest : public testing::TestWithParam<CheckCase> {};

TEST_P(PermissionSetApiTest, Answers) {
  ComPtr<Logic::IPermissionSet> set = MakeSet(GetParam().permissions);
  ASSERT_TRUE(set);
  EXPECT_EQ(GetParam().expected, CheckApi(set.Get(), GetParam().query));
}

TEST_P(PermissionSetUrlTest, Answers) {
  ComPtr<Logic::IPermissionSet> set = MakeSet(GetParam().permissions);
  ASSERT_TRUE(set);
  EXPECT_EQ(GetParam().expected, CheckUrl(set.Get(), GetParam().query));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PermissionSetApiTest,
    testing::Values(
        CheckCase{"group_member", {u"history"}, u"hcbrowser.history.search", S_OK},
        CheckCase{"group_written_in_capitals", {u"History"}, u"hcbrowser.history.search", S_OK},
        CheckCase{"api_in_capitals", {u"bookmarks"}, u"HCBROWSER.BOOKMARKS.GETTREE", S_OK},
        CheckCase{"api_as_listed", {u"bookmarks"}, u"hcbrowser.bookmarks.getTree", S_OK},
        CheckCase{"other_group", {u"bookmarks"}, u"hcbrowser.history.search", S_FALSE},
        CheckCase{"empty_list_refuses_history", {}, u"hcbrowser.history.search", S_FALSE},
        CheckCase{"empty_list_allows_register", {}, u"extension.invoke.register", S_OK},
        CheckCase{
            "tab_name_without_tab", {u"history"}, u"hcbrowser.history.getFrequently", S_FALSE},
        CheckCase{"tab_name_with_tab", {u"history"}, u"hcbrowser.history.getFrequently\t", S_OK},
        CheckCase{"application_tab_without",
                  {u"application"},
                  u"hcbrowser.application.getSyncInfo",
                  S_FALSE},
        CheckCase{
            "application_tab_with", {u"application"}, u"HCBROWSER.APPLICATION.GETSYNCINFO\t", S_OK},
        CheckCase{
            "unknown_name", {u"history", u"bookmarks"}, u"hcbrowser.history.searchx", S_FALSE},
        CheckCase{"group_name_is_no_api", {u"history"}, u"history", S_FALSE},
        CheckCase{"empty_name", {u"history"}, u"", S_FALSE},
        CheckCase{"unknown_group_grants_nothing", {u"tabs"}, u"hcbrowser.tabs.query", S_FALSE},
        CheckCase{"leading_space_group", {u" history"}, u"hcbrowser.history.search", S_FALSE},
        CheckCase{
            "non_ascii_letter_not_folded", {u"history"}, u"HCBROWSER.H\u0130STORY.SEARCH", S_FALSE},
        CheckCase{"read_up_to_nul",
                  {u"history"},
                  std::u16string(u"hcbrowser.history.search\0x", 26),
                  S_OK},
        CheckCase{
            "pattern_grants_no_api", {u"http://history/*"}, u"hcbrowser.history.search", S_FALSE},
        CheckCase{"group_as_file_word", {u"file"}, u"hcbrowser.global.openPage", S_FALSE},
        CheckCase{"explicit_nonpermission",
                  {u"NonPermissionFunction"},
                  u"extension.urlanalysis.getextid",
                  S_OK}));

// Every name of the table, for a set holding one group: granted exactly when it is the
// group's own or a "nonpermissionfunction" name.
TEST(PermissionSetTest, EachGroupGrantsExactlyItsNamesAndTheFreeOnes) {
  const auto& groups = ApiGroupTable::Get().groups();
  const ApiGroupTable::NameSet& free = groups.at(u"nonpermissionfunction");
  for (const auto& [group, own] : groups) {
    SCOPED_TRACE(Narrow(group));
    // Written in capitals in the manifest to go through the lower-casing of group names.
    std::u16string written = group;
    for (char16_t& ch : written) ch = (ch >= u'a' && ch <= u'z') ? ch - u'a' + u'A' : ch;
    ComPtr<Logic::IPermissionSet> set = MakeSet({written});
    ASSERT_TRUE(set);
    for (const auto& [other, names] : groups) {
      for (const std::u16string& name : names) {
        const bool granted = own.count(name) || free.count(name);
        EXPECT_EQ(granted ? S_OK : S_FALSE, CheckApi(set.Get(), name)) << Narrow(name);
      }
    }
  }
}

const std::u16string kLongUrl = u"http://a.com/" + std::u16string(4090, u'x');  // 4103 chars

INSTANTIATE_TEST_SUITE_P(
    Table, PermissionSetUrlTest,
    testing::Values(
        CheckCase{"empty_set", {}, u"http://www.halcy.cn/", S_FALSE},
        CheckCase{"groups_only", {u"history", u"file"}, u"file:///home/a", S_FALSE},
        CheckCase{"all_urls_ftp", {u"<all_urls>"}, u"ftp://x.y/z", S_OK},
        CheckCase{"all_urls_javascript", {u"<all_urls>"}, u"javascript:void(0)", S_OK},
        CheckCase{"all_urls_not_a_url", {u"<all_urls>"}, u"not a url", S_OK},
        CheckCase{
            "all_urls_in_capitals_is_a_group_name", {u"<ALL_URLS>"}, u"http://a.com/", S_FALSE},
        CheckCase{"subdomain", {u"http://*.halcy.cn/*"}, u"http://www.halcy.cn/a", S_OK},
        CheckCase{"subdomain_base", {u"http://*.halcy.cn/*"}, u"http://halcy.cn/", S_OK},
        CheckCase{
            "subdomain_suffix_only", {u"http://*.halcy.cn/*"}, u"http://evilhalcy.cn/", S_FALSE},
        CheckCase{
            "subdomain_other_scheme", {u"http://*.halcy.cn/*"}, u"https://www.halcy.cn/", S_FALSE},
        CheckCase{"url_in_capitals", {u"http://*.halcy.cn/*"}, u"HTTP://WWW.HALCY.CN/X", S_OK},
        CheckCase{"pattern_in_capitals", {u"HTTP://*.Halcy.CN/*"}, u"http://www.halcy.cn/x", S_OK},
        CheckCase{"pattern_path_lowered_matches_lower",
                  {u"http://a.com/Path/*"},
                  u"http://a.com/path/x",
                  S_OK},
        CheckCase{"pattern_path_lowered_misses_capitals",
                  {u"http://a.com/Path/*"},
                  u"http://a.com/Path/x",
                  S_FALSE},
        CheckCase{"any_scheme_http", {u"*://*/*"}, u"http://any.where:81/x", S_OK},
        CheckCase{"any_scheme_https", {u"*://*/*"}, u"https://any.where/", S_OK},
        CheckCase{"any_scheme_not_ftp", {u"*://*/*"}, u"ftp://any.where/", S_FALSE},
        CheckCase{"any_scheme_not_file", {u"*://*/*"}, u"file:///etc/passwd", S_FALSE},
        CheckCase{"port_written", {u"http://127.0.0.1:8080/*"}, u"http://127.0.0.1:8080/a", S_OK},
        CheckCase{"port_missing", {u"http://127.0.0.1:8080/*"}, u"http://127.0.0.1/a", S_FALSE},
        CheckCase{"default_port_not_written", {u"http://a.com:80/*"}, u"http://a.com/", S_FALSE},
        CheckCase{"no_subdomains_for_ipv4", {u"http://*.0.0.1/*"}, u"http://127.0.0.1/", S_FALSE},
        CheckCase{"file_pattern", {u"file:///home/*"}, u"file:///home/user/a.txt", S_OK},
        CheckCase{"file_pattern_other_dir", {u"file:///home/*"}, u"file:///etc/passwd", S_FALSE},
        CheckCase{"question_mark_is_literal", {u"http://a.com/x?y"}, u"http://a.com/x?y", S_FALSE},
        CheckCase{"query_not_in_path", {u"http://a.com/x"}, u"http://a.com/x?y=1", S_OK},
        CheckCase{
            "second_of_two", {u"http://a.com/*", u"https://b.com/*"}, u"https://b.com/", S_OK},
        CheckCase{"mixed_with_groups",
                  {u"history", u"https://b.com/*", u"bookmarks"},
                  u"https://b.com/q",
                  S_OK},
        CheckCase{"invalid_pattern_is_a_group", {u"http://*x.com/*"}, u"http://ax.com/", S_FALSE},
        CheckCase{"too_long_url", {u"http://a.com/*"}, kLongUrl, S_FALSE},
        CheckCase{"too_long_url_all_urls", {u"<all_urls>"}, kLongUrl, S_OK},
        CheckCase{"url_read_up_to_nul",
                  {u"http://a.com/x"},
                  std::u16string(u"http://a.com/x\0/y", 17),
                  S_OK},
        CheckCase{"empty_url", {u"http://a.com/*"}, u"", S_FALSE},
        CheckCase{"lone_percent", {u"http://a.com/*"}, u"http://a.com/%", S_OK},
        CheckCase{
            "idn_host", {u"http://*.xn--mnchen-3ya.de/*"}, u"http://www.m\u00fcnchen.de/", S_OK},
        CheckCase{"unpaired_surrogate", {u"http://a.com/*"}, u"http://a.com/\xd800", S_OK}));

// --- Loading ---

TEST(PermissionSetLoadTest, ANullListLeavesTheFreeGroupOnly) {
  ComPtr<Logic::IPermissionSet> set = MakeSet({});
  ASSERT_TRUE(set);
  EXPECT_EQ(S_OK, set->LoadPermissions(nullptr));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"extension.invoke.cmd.uploadlog"));
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
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

TEST(PermissionSetLoadTest, ACountThatFailsOrIsNotPositiveLoadsNothing) {
  for (auto [count_result, count] :
       {std::pair{E_FAIL, 2}, std::pair{S_OK, 0}, std::pair{S_OK, -5}}) {
    auto list = halcy::MakeComObject<CScriptedStringList>();
    list->items = {u"xhr", u"<all_urls>"};
    list->count_result = count_result;
    list->count = count;
    ComPtr<Logic::IPermissionSet> set = MakeSet({});
    EXPECT_EQ(S_OK, set->LoadPermissions(list.Get()));
    EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
    EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://a.com/"));
  }
}

TEST(PermissionSetLoadTest, ACountBeyondTheItemsReadsTheMissingOnesAsEmpty) {
  auto list = halcy::MakeComObject<CScriptedStringList>();
  list->items = {u"xhr"};
  list->count = 3;
  ComPtr<Logic::IPermissionSet> set = MakeSet({});
  EXPECT_EQ(S_OK, set->LoadPermissions(list.Get()));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
}

TEST(PermissionSetLoadTest, LoadingAgainAddsToWhatIsThere) {
  ComPtr<Logic::IPermissionSet> set = MakeSet({u"history"});
  ASSERT_TRUE(set);
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://a.com/"));
  EXPECT_EQ(S_OK, set->LoadPermissions(MakeList({u"http://a.com/*"}).Get()));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), u"http://a.com/"));
}

TEST(PermissionSetLoadTest, HostileStringsAreStoredWithoutHarm) {
  const List hostile = {std::u16string(100000, u'h'),
                        u"http://" + std::u16string(300, u'a') + u".com/*",
                        std::u16string(u"hist\0ory", 8),
                        u"\xdc00\xd800",
                        u"%zz",
                        u"*://*.:99999/*",
                        u"file"};
  ComPtr<Logic::IPermissionSet> set = MakeSet(hostile);
  ASSERT_TRUE(set);
  // "hist" (read up to the NUL) names no group.
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"extension.invoke.register"));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), u"http://" + std::u16string(300, u'a') + u".com/x"));
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://b.com:99999/x"));
}

TEST(PermissionSetTest, InitializeAndUnInitializeDoNothing) {
  ComPtr<Logic::IPermissionSet> set = MakeSet({u"xhr"});
  ASSERT_TRUE(set);
  EXPECT_EQ(S_OK, set->Initialize());
  EXPECT_EQ(S_OK, set->UnInitialize());
  EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.xhr.send"));
  ComPtr<IProvideClassInfo> info;
  EXPECT_EQ(S_OK, set.As(&info));
}

}  // namespace
}  // namespace permission_test
