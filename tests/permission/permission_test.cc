// Permission sets and the manager: how manifest strings become groups and patterns, the API
// and URL answers, loading from lists that fail, registration, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "extension/extension_agent.h"
#include "permission/api_group_table.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace {

using halcy::ScopedBstr;
using Logic::IPermissionMgr;
using Logic::IPermissionSet;
using List = std::vector<std::u16string>;

ComPtr<IStringList> MakeList(const List& items) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& item : items) EXPECT_EQ(S_OK, list->Append(item.c_str()));
  return list;
}

ComPtr<IPermissionSet> MakeSet(const List& items) {
  ComPtr<IPermissionSet> set = halcy::MakeComObject<Logic::CCoPermissionSet>();
  EXPECT_TRUE(set && set->LoadPermissions(MakeList(items).Get()) == S_OK);
  return set;
}

// An agent `id` whose manifest's "permissions" array holds `permissions` (written unescaped).
template <class Agent = Logic::CCoExtensionAgent>
ComPtr<Agent> MakeAgent(const std::u16string& id, const List& permissions) {
  ComPtr<Agent> agent = halcy::MakeComObject<Agent>();
  std::u16string manifest = u"{\"permissions\":[";
  for (const std::u16string& p : permissions) manifest += u"\"" + p + u"\",";
  if (!permissions.empty()) manifest.pop_back();
  EXPECT_EQ(S_OK, agent->SetId(ScopedBstr(id).Get()));
  EXPECT_EQ(S_OK, agent->SetManifest(ScopedBstr(manifest + u"]}").Get()));
  return agent;
}

// The API or URL answer of a set (for a query) or of the manager (for an identifier and a query).
template <class T, class... Text>
HRESULT Api(T* target, const Text&... text) {
  return target->CheckApiPermission(ScopedBstr(text).Get()...);
}
template <class T, class... Text>
HRESULT Url(T* target, const Text&... text) {
  return target->CheckUrlPermission(ScopedBstr(text).Get()...);
}

// The permissions a set loads, a query, and the expected answer.
using CheckCase = std::tuple<List, std::u16string, HRESULT>;

// For URLs: which strings are patterns, lower-casing, <all_urls>, the URL length bound and text
// read up to a NUL.
TEST(PermissionSetTest, ApiAndUrlChecks) {
  const std::u16string long_url = u"http://a.com/" + std::u16string(4090, u'x');  // 4103 chars
  const std::u16string sub = u"http://*.halcy.cn/*", path = u"http://a.com/Path/*";
  // Stored without harm; "hist" (read up to the NUL) names no group.
  const std::u16string long_host = u"http://" + std::u16string(300, u'a') + u".com/";
  const List hostile = {std::u16string(100000, u'h'),
                        long_host + u"*",
                        std::u16string(u"hist\0ory", 8),
                        u"\xdc00\xd800",
                        u"%zz",
                        u"*://*.:99999/*"};
  // clang-format off
  const std::vector<CheckCase> api_cases = {
      {{u"History"}, u"hcbrowser.history.search", S_OK},
      {{u"bookmarks"}, u"HCBROWSER.BOOKMARKS.GETTREE", S_OK},
      {{u"bookmarks"}, u"hcbrowser.history.search", S_FALSE},
      {{}, u"extension.invoke.register", S_OK},
      // Two names keep a trailing TAB: only the name with it is granted.
      {{u"history"}, u"hcbrowser.history.getFrequently", S_FALSE},
      {{u"history"}, u"hcbrowser.history.getFrequently\t", S_OK},
      {{u"history"}, u"hcbrowser.history.searchx", S_FALSE}, {{u"history"}, u"history", S_FALSE},
      {{u"tabs"}, u"hcbrowser.tabs.query", S_FALSE},
      {{u" history"}, u"hcbrowser.history.search", S_FALSE},
      {{u"history"}, u"HCBROWSER.H\u0130STORY.SEARCH", S_FALSE},
      {{u"history"}, std::u16string(u"hcbrowser.history.search\0x", 26), S_OK},
      {{u"http://history/*"}, u"hcbrowser.history.search", S_FALSE},
      {hostile, u"hcbrowser.history.search", S_FALSE},
  };
  const std::vector<CheckCase> url_cases = {
      {{u"history"}, u"http://www.halcy.cn/", S_FALSE}, {{u"<all_urls>"}, u"not a url", S_OK},
      {{u"<all_urls>"}, long_url, S_OK},
      {{u"<ALL_URLS>"}, u"http://a.com/", S_FALSE},  // a group name
      {{sub}, u"http://www.halcy.cn/a", S_OK}, {{sub}, u"http://evilhalcy.cn/", S_FALSE},
      {{u"HTTP://*.Halcy.CN/*"}, u"http://www.halcy.cn/x", S_OK},
      // The pattern is lower-cased whole, its path too.
      {{path}, u"http://a.com/path/x", S_OK}, {{path}, u"http://a.com/Path/x", S_FALSE},
      {{u"http://a.com/*", u"https://b.com/*"}, u"https://b.com/", S_OK},
      {{u"http://*x.com/*"}, u"http://ax.com/", S_FALSE},  // invalid: taken as a group
      {{u"http://a.com/*"}, long_url, S_FALSE},
      {{u"http://a.com/x"}, std::u16string(u"http://a.com/x\0/y", 17), S_OK},
      {{u"http://a.com/*"}, u"http://a.com/\xd800", S_OK},
      {{u"http://*.xn--mnchen-3ya.de/*"}, u"http://www.m\u00fcnchen.de/", S_OK},
      {hostile, long_host + u"x", S_OK}, {hostile, u"http://b.com:99999/x", S_FALSE},
  };
  // clang-format on
  for (const bool api : {true, false}) {
    for (const auto& [permissions, query, expected] : api ? api_cases : url_cases) {
      ComPtr<IPermissionSet> set = MakeSet(permissions);
      EXPECT_EQ(expected, api ? Api(set.Get(), query) : Url(set.Get(), query))
          << halcy::Utf16ToUtf8(query.substr(0, 60));
    }
  }
}

// Four items; GetCount answers `count_result` and `count`, GetAt fails for item 1 (after writing
// it out) and gives a null item 2.
struct CScriptedStringList : halcy::ComObjectRoot, IStringList {
  HALCY_BEGIN_INTERFACES(CScriptedStringList)
  HALCY_INTERFACE(CScriptedStringList, IStringList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* out) override { return *out = count, count_result; }
  HRESULT GetAt(LONG index, BSTR* item) override {
    const char16_t* const items[] = {u"xhr", u"bookmarks", u"http://a.com/*", u"downloads"};
    *item = index >= 0 && index <= 3 && index != 2 ? SysAllocString(items[index]) : nullptr;
    return index == 1 ? E_FAIL : index < 0 || index > 3 ? E_INVALIDARG : S_OK;
  }
  HRESULT Append(LPCWSTR) override { return E_NOTIMPL; }

  HRESULT count_result = S_OK;
  LONG count = 4;
};

// Loading adds to what is there; a count that fails or is not positive loads nothing, one
// beyond the items reads the missing ones as empty, and an item that fails to read or is null
// grants nothing.
TEST(PermissionSetLoadTest, OnlyWhatIsReadIsGranted) {
  const std::tuple<HRESULT, LONG, HRESULT> cases[] = {
      {E_FAIL, 4, S_FALSE}, {S_OK, 0, S_FALSE}, {S_OK, -5, S_FALSE}, {S_OK, 6, S_OK}};
  for (const auto& [count_result, count, granted] : cases) {
    SCOPED_TRACE(count);
    auto list = halcy::MakeComObject<CScriptedStringList>();
    list->count_result = count_result;
    list->count = count;
    ComPtr<IPermissionSet> set = MakeSet({u"history"});
    EXPECT_EQ(S_OK, set->LoadPermissions(nullptr));
    EXPECT_EQ(S_OK, set->LoadPermissions(list.Get()));
    EXPECT_EQ(S_OK, Api(set.Get(), u"hcbrowser.history.search"));
    EXPECT_EQ(granted, Api(set.Get(), u"hcbrowser.xhr.send"));
    EXPECT_EQ(granted, Api(set.Get(), u"hcbrowser.downloads.cancel"));
    EXPECT_EQ(S_FALSE, Api(set.Get(), u"hcbrowser.bookmarks.get"));
    EXPECT_EQ(S_FALSE, Url(set.Get(), u"http://a.com/"));
  }
}

TEST(ApiGroupTableTest, AddingToAGroupMergesAndLowerCasesOnlyAsciiLetters) {
  Logic::ApiGroupTable table;
  const char16_t* const more[] = {u"X.One", u"x.one", u"hcbrowser.nav.getNavInfo", u"AZ@[`{\u00c9"};
  table.AddGroup(u"nav", more, std::size(more));
  ASSERT_NE(nullptr, table.Find(u"nav"));
  EXPECT_EQ((Logic::ApiGroupTable::NameSet{u"hcbrowser.nav.getnavinfo", u"x.one", u"az@[`{\u00c9"}),
            *table.Find(u"nav"));
}

TEST(PermissionMgrTest, SetsAreKeptPerIdentifierReplacedWholeAndRemoved) {
  ComPtr<IPermissionMgr> mgr = halcy::MakeComObject<Logic::CCoPermissionMgr>();
  // The answers for "ext"'s API and URL and for "Other"'s API; identifiers are case-sensitive.
  const auto expect = [&](HRESULT ext_api, HRESULT ext_url, HRESULT other_api) {
    EXPECT_EQ(ext_api, Api(mgr.Get(), u"ext", u"hcbrowser.bookmarks.gettree"));
    EXPECT_EQ(ext_url, Url(mgr.Get(), u"ext", u"http://www.a.cn/x"));
    EXPECT_EQ(other_api, Api(mgr.Get(), u"Other", u"hcbrowser.xhr.send"));
    EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"other", u"hcbrowser.xhr.send"));
  };
  expect(E_FAIL, S_OK, E_FAIL);  // without a set the API check fails and the URL check passes
  EXPECT_EQ(S_OK, mgr->RemoveExtension(ScopedBstr(u"ext").Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"bookmarks", u"http://*.a.cn/*"}).Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"Other", {u"xhr"}).Get()));
  expect(S_OK, S_OK, S_OK);
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  expect(S_FALSE, S_FALSE, S_OK);
  EXPECT_EQ(S_OK, mgr->RemoveExtension(ScopedBstr(u"ext").Get()));
  expect(E_FAIL, S_OK, S_OK);
}

// An agent whose identifier or permission list cannot be read.
struct CBrokenAgent : Logic::CCoExtensionAgent {
  HRESULT GetId(BSTR* id) override {
    return id_result == S_OK ? CCoExtensionAgent::GetId(id) : (*id = nullptr, id_result);
  }
  HRESULT GetPermissions(IStringList** list) override {
    return list_result == S_OK ? CCoExtensionAgent::GetPermissions(list)
                               : (*list = nullptr, list_result);
  }
  HRESULT id_result = E_ACCESSDENIED, list_result = S_OK;
};

TEST(PermissionMgrErrorTest, FailedAddsKeepWhatWasRegistered) {
  ComPtr<IPermissionMgr> mgr = halcy::MakeComObject<Logic::CCoPermissionMgr>();
  EXPECT_EQ(E_POINTER, mgr->AddExtension(nullptr));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  auto broken = MakeAgent<CBrokenAgent>(u"ext", {u"history"});
  EXPECT_EQ(E_ACCESSDENIED, mgr->AddExtension(broken.Get()));
  // The set class fails, or succeeds without an object.
  for (const auto& [made, id, added] :
       {std::tuple(E_OUTOFMEMORY, u"ext", E_OUTOFMEMORY), std::tuple(S_OK, u"new", E_FAIL)}) {
    halcy::CreatableClass previous = halcy::SetCreatableClass(
        IPermissionSet::kIID,
        {.create = [made](REFIID, void** out) { return *out = nullptr, made; }});
    const HRESULT answer = mgr->AddExtension(MakeAgent(id, {u"history"}).Get());
    halcy::SetCreatableClass(IPermissionSet::kIID, std::move(previous));
    EXPECT_EQ(added, answer);
  }
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"new", u"extension.invoke.register"));
  // An unreadable list gives a set with the free group only.
  broken->id_result = S_OK;
  broken->list_result = E_OUTOFMEMORY;
  EXPECT_EQ(S_OK, mgr->AddExtension(broken.Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"extension.upload.onlistdir"));
}

// Writers replace one registered set with an equal one and add and remove another while a
// loader adds to a free-standing set; readers check all three. Every manager answer must be one
// a consistent map could give, and as nothing is ever removed from a set, a grant once seen on
// it stays seen and all grants hold at the end.
TEST(PermissionThreadsTest, ChecksRaceWithLoadingAddingReplacingAndRemoving) {
  ComPtr<IPermissionMgr> mgr = halcy::MakeComObject<Logic::CCoPermissionMgr>();
  const auto stable = MakeAgent(u"stable", {u"history", u"http://*.halcy.cn/*"});
  const auto churn = MakeAgent(u"churn", {u"xhr"});
  ASSERT_EQ(S_OK, mgr->AddExtension(stable.Get()));
  ComPtr<IPermissionSet> set = MakeSet({});
  const List groups = {u"history", u"bookmarks", u"downloads", u"xhr"};
  const List apis = {u"hcbrowser.history.search", u"hcbrowser.bookmarks.get",
                     u"hcbrowser.downloads.cancel", u"hcbrowser.xhr.send"};
  const std::u16string url = u"http://www.halcy.cn/x";
  const ScopedBstr churn_id(u"churn");
  std::atomic<int> wrong{0};
  std::latch start(6);
  {
    std::vector<std::jthread> threads;
    for (int index = 0; index < 6; ++index) {
      threads.emplace_back([&, index] {
        start.arrive_and_wait();
        std::vector<bool> seen(5, false);
        for (int round = 0; round < 400; ++round) {
          if (index == 0) {
            mgr->AddExtension(stable.Get());
          } else if (index == 1) {
            round % 2 ? mgr->RemoveExtension(churn_id.Get()) : mgr->AddExtension(churn.Get());
          } else if (index == 2 && round < 100) {
            const std::u16string host = u"http://h" + std::u16string(1, u'a' + round % 26);
            set->LoadPermissions(MakeList({groups[round % 4], host + u".com/*"}).Get());
          } else if (index > 2) {
            wrong += Api(mgr.Get(), u"stable", u"hcbrowser.history.search") != S_OK;
            wrong += Url(mgr.Get(), u"stable", url) != S_OK;
            // Registered: S_OK and, with no pattern, S_FALSE; not registered: E_FAIL and S_OK.
            const HRESULT api = Api(mgr.Get(), u"churn", apis[3]);
            const HRESULT answer = Url(mgr.Get(), u"churn", url);
            wrong += (api != S_OK && api != E_FAIL) + (answer != S_OK && answer != S_FALSE);
            for (size_t i = 0; i < 5; ++i) {
              const bool granted =
                  (i < 4 ? Api(set.Get(), apis[i]) : Url(set.Get(), u"http://ha.com/")) == S_OK;
              wrong += seen[i] && !granted;
              seen[i] = seen[i] || granted;
            }
          }
        }
      });
    }
  }
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"churn", apis[3]));  // removed last
  for (const std::u16string& api : apis) EXPECT_EQ(S_OK, Api(set.Get(), api));
  EXPECT_EQ(S_OK, Url(set.Get(), u"http://hz.com/"));
}

}  // namespace
