// The manager and its sets used from several threads at once: checks racing with
// registration, replacement and removal, and with loading. Run under tsan as well.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "permission/permission_test_util.h"

namespace permission_test {
namespace {

using Logic::IPermissionMgr;
using Logic::IPermissionSet;

constexpr int kRounds = 400;

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
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_TRUE(mgr);
  const auto stable = MakeAgent(u"stable", {u"history", u"http://*.halcy.cn/*"});
  const auto churn = MakeAgent(u"churn", {u"xhr"});
  ASSERT_EQ(S_OK, mgr->AddExtension(stable.Get()));
  const halcy::ScopedBstr stable_id(u"stable"), churn_id(u"churn"), url(u"http://www.halcy.cn/x");
  const halcy::ScopedBstr history_api(u"hcbrowser.history.search"), xhr_api(u"hcbrowser.xhr.send");
  std::atomic<int> wrong{0};
  RunTogether(6, [&](int index) {
    for (int round = 0; round < kRounds; ++round) {
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
  // The writer's last round removed "churn".
  EXPECT_EQ(E_FAIL, mgr->CheckApiPermission(churn_id.Get(), xhr_api.Get()));
  EXPECT_EQ(S_OK, mgr->CheckApiPermission(stable_id.Get(), history_api.Get()));
}

// A set that is loaded while it is checked: nothing is ever removed, so once a check has seen
// a grant, every later check on that thread sees it too, and all grants hold at the end.
TEST(PermissionThreadsTest, AGrantOnceSeenStaysWhileLoadingContinues) {
  ComPtr<IPermissionSet> set = MakeSet({});
  ASSERT_TRUE(set);
  const std::vector<std::u16string> groups = {u"history", u"bookmarks", u"downloads", u"xhr"};
  const std::vector<std::u16string> apis = {u"hcbrowser.history.search", u"hcbrowser.bookmarks.get",
                                            u"hcbrowser.downloads.cancel", u"hcbrowser.xhr.send"};
  std::atomic<int> regressions{0};
  RunTogether(4, [&](int index) {
    if (index == 0) {
      for (int round = 0; round < kRounds / 4; ++round) {
        set->LoadPermissions(
            MakeList({groups[round % groups.size()],
                      u"http://h" + std::u16string(1, u'a' + round % 26) + u".com/*"})
                .Get());
      }
      return;
    }
    std::vector<bool> seen(apis.size(), false);
    bool url_seen = false;
    for (int round = 0; round < kRounds; ++round) {
      for (size_t i = 0; i < apis.size(); ++i) {
        const bool granted = CheckApi(set.Get(), apis[i]) == S_OK;
        if (seen[i] && !granted) ++regressions;
        seen[i] = seen[i] || granted;
      }
      const bool matched = CheckUrl(set.Get(), u"http://ha.com/") == S_OK;
      if (url_seen && !matched) ++regressions;
      url_seen = url_seen || matched;
    }
  });
  EXPECT_EQ(0, regressions.load());
  for (const std::u16string& api : apis) EXPECT_EQ(S_OK, CheckApi(set.Get(), api));
  EXPECT_EQ(S_OK, CheckUrl(set.Get(), u"http://hz.com/"));
}

// Checks through the manager hold its lock and then the set's; loads of other sets and
// manager writers run at the same time. The test ends only if no thread waits forever.
TEST(PermissionThreadsTest, ManagerAndSetLocksTakenTogetherDoNotDeadlock) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  std::vector<ComPtr<Logic::IExtensionAgent>> agents;
  for (int i = 0; i < 4; ++i) {
    agents.push_back(
        MakeAgent(u"ext" + std::u16string(1, u'0' + i),
                  {u"history", u"http://*.a" + std::u16string(1, u'0' + i) + u".com/*"}));
    ASSERT_EQ(S_OK, mgr->AddExtension(agents.back().Get()));
  }
  std::atomic<int> wrong{0};
  RunTogether(4, [&](int index) {
    const halcy::ScopedBstr id(u"ext" + std::u16string(1, u'0' + index));
    const halcy::ScopedBstr url(u"http://x.a" + std::u16string(1, u'0' + index) + u".com/");
    const halcy::ScopedBstr api(u"hcbrowser.history.search");
    for (int round = 0; round < kRounds; ++round) {
      // Each thread replaces its own extension and checks the others'.
      if (round % 8 == 0) mgr->AddExtension(agents[index].Get());
      if (mgr->CheckUrlPermission(id.Get(), url.Get()) != S_OK) ++wrong;
      for (int other = 0; other < 4; ++other) {
        const halcy::ScopedBstr other_id(u"ext" + std::u16string(1, u'0' + other));
        if (mgr->CheckApiPermission(other_id.Get(), api.Get()) != S_OK) ++wrong;
      }
    }
  });
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
}  // namespace permission_test
