// The permission manager: registering, replacing and removing sets, the answers for
// identifiers without a set, and the failure paths of AddExtension.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "permission/permission_test_util.h"
#include "platform/object_factory.h"

namespace permission_test {
namespace {

using Logic::IPermissionMgr;
using Logic::IPermissionSet;

HRESULT Api(IPermissionMgr* mgr, const std::u16string& id, const std::u16string& name) {
  return mgr->CheckApiPermission(Bstr(id).Get(), Bstr(name).Get());
}

HRESULT Url(IPermissionMgr* mgr, const std::u16string& id, const std::u16string& url) {
  return mgr->CheckUrlPermission(Bstr(id).Get(), Bstr(url).Get());
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
  HRESULT id_result = S_OK;
  HRESULT list_result = S_OK;
};

ComPtr<CBrokenAgent> BrokenAgent(const std::u16string& id, const std::u16string& permission) {
  auto agent = halcy::MakeComObject<CBrokenAgent>();
  agent->SetId(Bstr(id).Get());
  agent->SetManifest(Bstr(u"{\"permissions\":[\"" + permission + u"\"]}").Get());
  return agent;
}

// A permission set that answers fixed results and counts the living instances, to show that
// the manager forwards answers unchanged and releases the sets it drops.
class CFixedSet : public halcy::ComObjectRoot, public IPermissionSet {
 public:
  HALCY_BEGIN_INTERFACES(CFixedSet)
  HALCY_INTERFACE(CFixedSet, IPermissionSet)
  HALCY_END_INTERFACES()

  static std::atomic<int> alive;
  static std::atomic<int> loads;
  CFixedSet() { ++alive; }
  ~CFixedSet() { --alive; }

  HRESULT Initialize() override { return S_OK; }
  HRESULT UnInitialize() override { return S_OK; }
  HRESULT LoadPermissions(IStringList* list) override {
    LONG count = 0;
    if (list && SUCCEEDED(list->GetCount(&count))) loads += count;
    return S_OK;
  }
  HRESULT CheckUrlPermission(BSTR) override { return static_cast<HRESULT>(0x00012345); }
  HRESULT CheckApiPermission(BSTR) override { return E_ACCESSDENIED; }
};
std::atomic<int> CFixedSet::alive{0};
std::atomic<int> CFixedSet::loads{0};

// Registers `create` as the object factory's class for IPermissionSet for the scope.
class ScopedSetClass {
 public:
  explicit ScopedSetClass(std::function<HRESULT(REFIID, void**)> create)
      : previous_(halcy::SetCreatableClass(IPermissionSet::kIID, {.create = std::move(create)})) {}
  ~ScopedSetClass() { halcy::SetCreatableClass(IPermissionSet::kIID, std::move(previous_)); }

 private:
  halcy::CreatableClass previous_;
};

TEST(PermissionMgrTest, AnIdentifierWithoutASetFailsApiAndPassesUrl) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_TRUE(mgr);
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"nobody", u"extension.invoke.register"));
  EXPECT_EQ(S_OK, Url(mgr.Get(), u"nobody", u"http://a.com/"));
  EXPECT_EQ(S_OK, mgr->RemoveExtension(Bstr(u"nobody").Get()));
  EXPECT_EQ(E_FAIL, mgr->CheckApiPermission(nullptr, nullptr));
  EXPECT_EQ(S_OK, mgr->CheckUrlPermission(nullptr, nullptr));
}

TEST(PermissionMgrTest, ARegisteredExtensionGetsItsSetsAnswers) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK,
            mgr->AddExtension(MakeAgent(u"ext", {u"bookmarks", u"http://*.halcy.cn/*"}).Get()));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.bookmarks.getTree"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"HCBROWSER.BOOKMARKS.GETTREE"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"extension.invoke.register"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"no.such.api"));
  EXPECT_EQ(S_OK, Url(mgr.Get(), u"ext", u"http://www.halcy.cn/x"));
  EXPECT_EQ(S_FALSE, Url(mgr.Get(), u"ext", u"http://www.example.com/"));
}

TEST(PermissionMgrTest, IdentifiersAreCaseSensitive) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"Ext", {}).Get()));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"Ext", u"extension.invoke.register"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"extension.invoke.register"));
  EXPECT_EQ(S_FALSE, Url(mgr.Get(), u"Ext", u"http://a.com/"));
  EXPECT_EQ(S_OK, Url(mgr.Get(), u"EXT", u"http://a.com/"));
}

TEST(PermissionMgrTest, AddingTheSameIdentifierAgainReplacesTheSetEntirely) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"history", u"http://a.com/*"}).Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Url(mgr.Get(), u"ext", u"http://a.com/"));
}

TEST(PermissionMgrTest, RemovingDropsOnlyThatIdentifier) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"a", {u"xhr"}).Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"b", {u"xhr"}).Get()));
  EXPECT_EQ(S_OK, mgr->RemoveExtension(Bstr(u"a").Get()));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"a", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"b", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_OK, mgr->RemoveExtension(Bstr(u"a").Get()));
}

TEST(PermissionMgrTest, AnswersOfTheSetAreForwardedUnchangedAndDroppedSetsAreReleased) {
  CFixedSet::loads = 0;
  {
    ScopedSetClass fixed([](REFIID iid, void** out) {
      return halcy::CreateComInstance<CFixedSet>(nullptr, iid, out);
    });
    ComPtr<IPermissionMgr> mgr = MakeMgr();
    ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"a", u"b", u"c"}).Get()));
    EXPECT_EQ(3, CFixedSet::loads.load());
    EXPECT_EQ(1, CFixedSet::alive.load());
    EXPECT_EQ(E_ACCESSDENIED, Api(mgr.Get(), u"ext", u"x"));
    EXPECT_EQ(static_cast<HRESULT>(0x00012345), Url(mgr.Get(), u"ext", u"http://a.com/"));
    ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {}).Get()));
    EXPECT_EQ(1, CFixedSet::alive.load());  // the replaced set is gone
    ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"other", {}).Get()));
    EXPECT_EQ(2, CFixedSet::alive.load());
    EXPECT_EQ(S_OK, mgr->RemoveExtension(Bstr(u"ext").Get()));
    EXPECT_EQ(1, CFixedSet::alive.load());
  }
  EXPECT_EQ(0, CFixedSet::alive.load());  // the manager's end releases the rest
}

// --- Failure paths ---

TEST(PermissionMgrErrorTest, ANullExtensionIsRefused) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  EXPECT_EQ(E_POINTER, mgr->AddExtension(nullptr));
}

TEST(PermissionMgrErrorTest, AnUnreadableIdentifierRegistersNothing) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  ComPtr<CBrokenAgent> agent = BrokenAgent(u"ext", u"history");
  agent->id_result = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, mgr->AddExtension(agent.Get()));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
}

TEST(PermissionMgrErrorTest, AnUnreadableListGivesASetWithTheFreeGroupOnly) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ComPtr<CBrokenAgent> agent = BrokenAgent(u"ext", u"history");
  agent->list_result = E_OUTOFMEMORY;
  EXPECT_EQ(S_OK, mgr->AddExtension(agent.Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"extension.upload.onlistdir"));
}

TEST(PermissionMgrErrorTest, ASetThatCannotBeMadeKeepsThePreviousOne) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  {
    ScopedSetClass failing([](REFIID, void** out) {
      *out = nullptr;
      return E_OUTOFMEMORY;
    });
    EXPECT_EQ(E_OUTOFMEMORY, mgr->AddExtension(MakeAgent(u"ext", {u"history"}).Get()));
    EXPECT_EQ(E_OUTOFMEMORY, mgr->AddExtension(MakeAgent(u"new", {u"history"}).Get()));
  }
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"new", u"extension.invoke.register"));
}

TEST(PermissionMgrErrorTest, AFactoryThatSucceedsWithoutAnObjectMakesNoSet) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ScopedSetClass empty([](REFIID, void** out) {
    *out = nullptr;
    return S_OK;
  });
  EXPECT_EQ(E_FAIL, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
}

TEST(PermissionMgrTest, InitializeAndUnInitializeDoNothing) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_TRUE(mgr);
  EXPECT_EQ(S_OK, mgr->Initialize());
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(S_OK, mgr->UnInitialize());
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  ComPtr<IProvideClassInfo> info;
  EXPECT_EQ(S_OK, mgr.As(&info));
}

}  // namespace
}  // namespace permission_test
