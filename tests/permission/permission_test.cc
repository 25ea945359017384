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
#include "module/module.h"
#include "permission/api_group_table.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace {

using Logic::IPermissionMgr;
using Logic::IPermissionSet;
using List = std::vector<std::u16string>;

ComPtr<IStringList> MakeList(const List& items) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& item : items) EXPECT_EQ(S_OK, list->Append(item.c_str()));
  return list;
}

// An object of the module's class table at `index`.
template <class T>
ComPtr<T> MakeClass(int index) {
  ComPtr<T> object;
  EXPECT_EQ(S_OK,
            Logic::CreateClassInstance(index, nullptr, T::kIID, object.ReleaseAndGetVoidAddress()));
  return object;
}

ComPtr<IPermissionSet> MakeSet(const List& items) {
  ComPtr<IPermissionSet> set = MakeClass<IPermissionSet>(9);
  EXPECT_TRUE(set && set->LoadPermissions(MakeList(items).Get()) == S_OK);
  return set;
}

// An agent `id` whose manifest's "permissions" array holds `permissions` (written unescaped).
ComPtr<Logic::IExtensionAgent> MakeAgent(const std::u16string& id, const List& permissions) {
  ComPtr<Logic::IExtensionAgent> agent = MakeClass<Logic::IExtensionAgent>(2);
  std::u16string manifest = u"{\"permissions\":[";
  for (size_t i = 0; i < permissions.size(); ++i) {
    manifest += (i ? u",\"" : u"\"") + permissions[i] + u"\"";
  }
  EXPECT_EQ(S_OK, agent->SetId(halcy::ScopedBstr(id).Get()));
  EXPECT_EQ(S_OK, agent->SetManifest(halcy::ScopedBstr(manifest + u"]}").Get()));
  return agent;
}

HRESULT CheckApi(IPermissionSet* set, const std::u16string& name) {
  return set->CheckApiPermission(halcy::ScopedBstr(name).Get());
}
HRESULT CheckUrl(IPermissionSet* set, const std::u16string& url) {
  return set->CheckUrlPermission(halcy::ScopedBstr(url).Get());
}
HRESULT Api(IPermissionMgr* mgr, const std::u16string& id, const std::u16string& name) {
  return mgr->CheckApiPermission(halcy::ScopedBstr(id).Get(), halcy::ScopedBstr(name).Get());
}

// The permissions a set loads, a query, and the expected answer.
using CheckCase = std::tuple<List, std::u16string, HRESULT>;

void ExpectAnswers(const std::vector<CheckCase>& cases,
                   HRESULT (*check)(IPermissionSet*, const std::u16string&)) {
  for (const auto& [permissions, query, expected] : cases) {
    ComPtr<IPermissionSet> set = MakeSet(permissions);
    ASSERT_TRUE(set);
    EXPECT_EQ(expected, check(set.Get(), query)) << halcy::Utf16ToUtf8(query.substr(0, 60));
  }
}

TEST(PermissionSetTest, ApiChecks) {
  // clang-format off
  ExpectAnswers({
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
  }, CheckApi);
  // clang-format on
}

// What a set adds to pattern matching: which strings are patterns, lower-casing, <all_urls>,
// the URL length bound and text read up to a NUL.
TEST(PermissionSetTest, UrlChecks) {
  const std::u16string long_url = u"http://a.com/" + std::u16string(4090, u'x');  // 4103 chars
  const std::u16string sub = u"http://*.halcy.cn/*";
  // clang-format off
  ExpectAnswers({
      {{u"history"}, u"http://www.halcy.cn/", S_FALSE}, {{u"<all_urls>"}, u"not a url", S_OK},
      {{u"<all_urls>"}, long_url, S_OK},
      {{u"<ALL_URLS>"}, u"http://a.com/", S_FALSE},  // a group name
      {{sub}, u"http://www.halcy.cn/a", S_OK}, {{sub}, u"http://evilhalcy.cn/", S_FALSE},
      {{u"HTTP://*.Halcy.CN/*"}, u"http://www.halcy.cn/x", S_OK},
      // The pattern is lower-cased whole, its path too.
      {{u"http://a.com/Path/*"}, u"http://a.com/path/x", S_OK},
      {{u"http://a.com/Path/*"}, u"http://a.com/Path/x", S_FALSE},
      {{u"http://a.com/*", u"https://b.com/*"}, u"https://b.com/", S_OK},
      {{u"http://*x.com/*"}, u"http://ax.com/", S_FALSE},  // invalid: taken as a group
      {{u"http://a.com/*"}, long_url, S_FALSE},
      {{u"http://a.com/x"}, std::u16string(u"http://a.com/x\0/y", 17), S_OK},
      {{u"http://a.com/*"}, u"http://a.com/\xd800", S_OK},
      {{u"http://*.xn--mnchen-3ya.de/*"}, u"http://www.m\u00fcnchen.de/", S_OK},
  }, CheckUrl);
  // clang-format on
}

// GetCount answers `count_result` and `count`; GetAt fails for the index `failing` and gives a
// null item for `null_item`.
class CScriptedStringList : public halcy::ComObjectRoot, public IStringList {
 public:
  HALCY_BEGIN_INTERFACES(CScriptedStringList)
  HALCY_INTERFACE(CScriptedStringList, IStringList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* out) override {
    *out = count;
    return count_result;
  }
  HRESULT GetAt(LONG index, BSTR* item) override {
    *item = nullptr;
    if (index == failing) return E_FAIL;
    if (index < 0 || index >= static_cast<LONG>(items.size())) return E_INVALIDARG;
    if (index != null_item) *item = SysAllocString(items[index].c_str());
    return S_OK;
  }
  HRESULT Append(LPCWSTR item) override { return E_NOTIMPL; }

  List items = {u"xhr", u"bookmarks", u"http://a.com/*", u"downloads"};
  HRESULT count_result = S_OK;
  LONG count = 4, failing = 1, null_item = 2;
};

// Loading adds to what is there; a count that fails or is not positive loads nothing, one
// beyond the items reads the missing ones as empty, and an item that fails to read or is null
// grants nothing.
TEST(PermissionSetLoadTest, OnlyWhatIsReadIsGranted) {
  const struct {
    HRESULT count_result;
    LONG count;
    HRESULT granted;
  } cases[] = {{E_FAIL, 4, S_FALSE}, {S_OK, 0, S_FALSE}, {S_OK, -5, S_FALSE}, {S_OK, 6, S_OK}};
  for (const auto& c : cases) {
    auto list = halcy::MakeComObject<CScriptedStringList>();
    list->count_result = c.count_result;
    list->count = c.count;
    ComPtr<IPermissionSet> set = MakeSet({u"history"});
    EXPECT_EQ(S_OK, set->LoadPermissions(nullptr));
    EXPECT_EQ(S_OK, set->LoadPermissions(list.Get()));
    EXPECT_EQ(S_OK, CheckApi(set.Get(), u"hcbrowser.history.search"));
    EXPECT_EQ(c.granted, CheckApi(set.Get(), u"hcbrowser.xhr.send")) << c.count;
    EXPECT_EQ(c.granted, CheckApi(set.Get(), u"hcbrowser.downloads.cancel")) << c.count;
    EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.bookmarks.get"));
    EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://a.com/"));
  }
}

TEST(PermissionSetLoadTest, HostileStringsAreStoredWithoutHarm) {
  const std::u16string long_host = u"http://" + std::u16string(300, u'a') + u".com/";
  ComPtr<IPermissionSet> set =
      MakeSet({std::u16string(100000, u'h'), long_host + u"*", std::u16string(u"hist\0ory", 8),
               u"\xdc00\xd800", u"%zz", u"*://*.:99999/*"});
  ASSERT_TRUE(set);
  // "hist" (read up to the NUL) names no group.
  EXPECT_EQ(S_FALSE, CheckApi(set.Get(), u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), long_host + u"x"));
  EXPECT_EQ(S_FALSE, CheckUrl(set.Get(), u"http://b.com:99999/x"));
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
  ComPtr<IPermissionMgr> mgr = MakeClass<IPermissionMgr>(8);
  ASSERT_TRUE(mgr);
  const halcy::ScopedBstr ext(u"ext"), url(u"http://www.a.cn/x");
  // Without a set: the API check fails and the URL check passes.
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"extension.invoke.register"));
  EXPECT_EQ(S_OK, mgr->CheckUrlPermission(ext.Get(), url.Get()));
  EXPECT_EQ(S_OK, mgr->RemoveExtension(ext.Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"bookmarks", u"http://*.a.cn/*"}).Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"Other", {u"xhr"}).Get()));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.bookmarks.gettree"));
  EXPECT_EQ(S_OK, mgr->CheckUrlPermission(ext.Get(), url.Get()));
  // Identifiers are case-sensitive.
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"Other", u"hcbrowser.xhr.send"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"other", u"hcbrowser.xhr.send"));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.bookmarks.gettree"));
  EXPECT_EQ(S_FALSE, mgr->CheckUrlPermission(ext.Get(), url.Get()));
  EXPECT_EQ(S_OK, mgr->RemoveExtension(ext.Get()));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"Other", u"hcbrowser.xhr.send"));
}

// An agent whose identifier or permission list cannot be read.
class CBrokenAgent : public Logic::CCoExtensionAgent {
 public:
  HRESULT GetId(BSTR* id) override {
    if (id_result == S_OK) return CCoExtensionAgent::GetId(id);
    *id = nullptr;
    return id_result;
  }
  HRESULT GetPermissions(IStringList** list) override {
    if (list_result == S_OK) return CCoExtensionAgent::GetPermissions(list);
    *list = nullptr;
    return list_result;
  }
  HRESULT id_result = S_OK, list_result = S_OK;
};

// Makes IPermissionSet objects with `create` for the scope.
class ScopedSetClass {
 public:
  explicit ScopedSetClass(std::function<HRESULT(REFIID, void**)> create)
      : previous_(halcy::SetCreatableClass(IPermissionSet::kIID, {.create = std::move(create)})) {}
  ~ScopedSetClass() { halcy::SetCreatableClass(IPermissionSet::kIID, std::move(previous_)); }

 private:
  halcy::CreatableClass previous_;
};

TEST(PermissionMgrErrorTest, FailedAddsKeepWhatWasRegistered) {
  ComPtr<IPermissionMgr> mgr = MakeClass<IPermissionMgr>(8);
  EXPECT_EQ(E_POINTER, mgr->AddExtension(nullptr));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  auto broken = halcy::MakeComObject<CBrokenAgent>();
  broken->SetId(halcy::ScopedBstr(u"ext").Get());
  broken->SetManifest(halcy::ScopedBstr(u"{\"permissions\":[\"history\"]}").Get());
  broken->id_result = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, mgr->AddExtension(broken.Get()));
  {
    ScopedSetClass failing([](REFIID, void** out) {
      *out = nullptr;
      return E_OUTOFMEMORY;
    });
    EXPECT_EQ(E_OUTOFMEMORY, mgr->AddExtension(MakeAgent(u"ext", {u"history"}).Get()));
  }
  {
    ScopedSetClass empty([](REFIID, void** out) {  // succeeds without an object
      *out = nullptr;
      return S_OK;
    });
    EXPECT_EQ(E_FAIL, mgr->AddExtension(MakeAgent(u"new", {u"xhr"}).Get()));
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

// Runs `body(index)` on `count` threads released together, and joins them.
template <class Body>
void RunTogether(int count, Body body) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

// Readers check two identifiers while writers replace one set with an equal one and add and
// remove the other. Every answer must be one a consistent map could give.
TEST(PermissionThreadsTest, ChecksRaceWithAddReplaceAndRemove) {
  ComPtr<IPermissionMgr> mgr = MakeClass<IPermissionMgr>(8);
  const auto stable = MakeAgent(u"stable", {u"history", u"http://*.halcy.cn/*"});
  const auto churn = MakeAgent(u"churn", {u"xhr"});
  ASSERT_EQ(S_OK, mgr->AddExtension(stable.Get()));
  const halcy::ScopedBstr stable_id(u"stable"), churn_id(u"churn"), url(u"http://www.halcy.cn/x");
  const halcy::ScopedBstr history_api(u"hcbrowser.history.search"), xhr_api(u"hcbrowser.xhr.send");
  std::atomic<int> wrong{0};
  RunTogether(6, [&](int index) {
    for (int round = 0; round < 400; ++round) {
      if (index == 0) {
        mgr->AddExtension(stable.Get());
      } else if (index == 1) {
        if (round % 2 == 0) {
          mgr->AddExtension(churn.Get());
        } else {
          mgr->RemoveExtension(churn_id.Get());
        }
      } else {
        if (mgr->CheckApiPermission(stable_id.Get(), history_api.Get()) != S_OK) ++wrong;
        if (mgr->CheckUrlPermission(stable_id.Get(), url.Get()) != S_OK) ++wrong;
        const HRESULT api = mgr->CheckApiPermission(churn_id.Get(), xhr_api.Get());
        if (api != S_OK && api != E_FAIL) ++wrong;
        // Registered: no pattern, S_FALSE; not registered: S_OK.
        const HRESULT answer = mgr->CheckUrlPermission(churn_id.Get(), url.Get());
        if (answer != S_OK && answer != S_FALSE) ++wrong;
      }
    }
  });
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(E_FAIL, mgr->CheckApiPermission(churn_id.Get(), xhr_api.Get()));  // removed last
}

// A set that is loaded while it is checked: nothing is ever removed, so once a check has seen
// a grant, every later check on that thread sees it too, and all grants hold at the end.
TEST(PermissionThreadsTest, AGrantOnceSeenStaysWhileLoadingContinues) {
  ComPtr<IPermissionSet> set = MakeSet({});
  const List groups = {u"history", u"bookmarks", u"downloads", u"xhr"};
  const List apis = {u"hcbrowser.history.search", u"hcbrowser.bookmarks.get",
                     u"hcbrowser.downloads.cancel", u"hcbrowser.xhr.send"};
  std::atomic<int> regressions{0};
  RunTogether(4, [&](int index) {
    if (index == 0) {
      for (int round = 0; round < 100; ++round) {
        set->LoadPermissions(
            MakeList({groups[round % groups.size()],
                      u"http://h" + std::u16string(1, u'a' + round % 26) + u".com/*"})
                .Get());
      }
      return;
    }
    std::vector<bool> seen(apis.size() + 1, false);
    for (int round = 0; round < 400; ++round) {
      for (size_t i = 0; i <= apis.size(); ++i) {
        const bool granted = (i < apis.size() ? CheckApi(set.Get(), apis[i])
                                              : CheckUrl(set.Get(), u"http://ha.com/")) == S_OK;
        if (seen[i] && !granted) ++regressions;
        seen[i] = seen[i] || granted;
      }
    }
  });
  EXPECT_EQ(0, regressions.load());
  for (const std::u16string& api : apis) EXPECT_EQ(S_OK, CheckApi(set.Get(), api));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), u"http://hz.com/"));
}

}  // namespace
