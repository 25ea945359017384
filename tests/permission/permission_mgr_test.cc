// The permission manager: registering, replacing and removing sets, the answers for
// identifiers without a set, and the failure paths of AddExtension.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "permission/permission_test_util.h"

namespace permission_test {
namespace {

using Logic::IPermissionMgr;
using Logic::IPermissionSet;

HRESULT Api(IPermissionMgr* mgr, const std::u16string& id, const std::u16string& name) {
  return mgr->CheckApiPermission(halcy::ScopedBstr(id).Get(), halcy::ScopedBstr(name).Get());
}
HRESULT Url(IPermissionMgr* mgr, const std::u16string& id, const std::u16string& url) {
  return mgr->CheckUrlPermission(halcy::ScopedBstr(id).Get(), halcy::ScopedBstr(url).Get());
}
HRESULT Remove(IPermissionMgr* mgr, const std::u16string& id) {
  return mgr->RemoveExtension(halcy::ScopedBstr(id).Get());
}

TEST(PermissionMgrTest, SetsAreKeptPerIdentifierReplacedWholeAndRemoved) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_TRUE(mgr);
  // Without a set: the API check fails and the URL check passes.
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"extension.invoke.register"));
  EXPECT_EQ(S_OK, Url(mgr.Get(), u"ext", u"http://a.com/"));
  EXPECT_EQ(E_FAIL, mgr->CheckApiPermission(nullptr, nullptr));
  EXPECT_EQ(S_OK, mgr->CheckUrlPermission(nullptr, nullptr));
  EXPECT_EQ(S_OK, Remove(mgr.Get(), u"ext"));

  EXPECT_EQ(S_OK, mgr->Initialize());
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"bookmarks", u"http://*.a.cn/*"}).Get()));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"Other", {u"xhr"}).Get()));
  EXPECT_EQ(S_OK, mgr->UnInitialize());  // keeps the sets
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"HCBROWSER.BOOKMARKS.GETTREE"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"extension.invoke.register"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_OK, Url(mgr.Get(), u"ext", u"http://www.a.cn/x"));
  EXPECT_EQ(S_FALSE, Url(mgr.Get(), u"ext", u"http://www.example.com/"));
  // Identifiers are case-sensitive.
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"Other", u"hcbrowser.xhr.send"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"other", u"hcbrowser.xhr.send"));

  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.bookmarks.gettree"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Url(mgr.Get(), u"ext", u"http://www.a.cn/x"));

  EXPECT_EQ(S_OK, Remove(mgr.Get(), u"ext"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"Other", u"hcbrowser.xhr.send"));
  ComPtr<IProvideClassInfo> info;
  EXPECT_EQ(S_OK, mgr.As(&info));
}

// Answers fixed results and counts the living instances, to show that the manager forwards
// answers unchanged and releases the sets it drops.
class CFixedSet : public halcy::ComObjectRoot, public IPermissionSet {
 public:
  HALCY_BEGIN_INTERFACES(CFixedSet)
  HALCY_INTERFACE(CFixedSet, IPermissionSet)
  HALCY_END_INTERFACES()

  static inline std::atomic<int> alive{0}, loads{0};
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

// Makes IPermissionSet objects with `create` for the scope.
class ScopedSetClass {
 public:
  explicit ScopedSetClass(std::function<HRESULT(REFIID, void**)> create)
      : previous_(halcy::SetCreatableClass(IPermissionSet::kIID, {.create = std::move(create)})) {}
  ~ScopedSetClass() { halcy::SetCreatableClass(IPermissionSet::kIID, std::move(previous_)); }

 private:
  halcy::CreatableClass previous_;
};

HRESULT Refuse(REFIID, void** out) {
  *out = nullptr;
  return E_OUTOFMEMORY;
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
    EXPECT_EQ(S_OK, Remove(mgr.Get(), u"ext"));
    EXPECT_EQ(1, CFixedSet::alive.load());
  }
  EXPECT_EQ(0, CFixedSet::alive.load());  // the manager's end releases the rest
}

// --- Failure paths ---

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

ComPtr<CBrokenAgent> BrokenAgent(HRESULT id_result, HRESULT list_result) {
  auto agent = halcy::MakeComObject<CBrokenAgent>();
  agent->SetId(halcy::ScopedBstr(u"ext").Get());
  agent->SetManifest(halcy::ScopedBstr(u"{\"permissions\":[\"history\"]}").Get());
  agent->id_result = id_result;
  agent->list_result = list_result;
  return agent;
}

TEST(PermissionMgrErrorTest, AnUnreadableIdentifierOrANullAgentRegistersNothing) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  EXPECT_EQ(E_POINTER, mgr->AddExtension(nullptr));
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  EXPECT_EQ(E_ACCESSDENIED, mgr->AddExtension(BrokenAgent(E_ACCESSDENIED, S_OK).Get()));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
}

TEST(PermissionMgrErrorTest, AnUnreadableListGivesASetWithTheFreeGroupOnly) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  EXPECT_EQ(S_OK, mgr->AddExtension(BrokenAgent(S_OK, E_OUTOFMEMORY).Get()));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"extension.upload.onlistdir"));
}

TEST(PermissionMgrErrorTest, ASetThatCannotBeMadeKeepsThePreviousOne) {
  ComPtr<IPermissionMgr> mgr = MakeMgr();
  ASSERT_EQ(S_OK, mgr->AddExtension(MakeAgent(u"ext", {u"xhr"}).Get()));
  {
    ScopedSetClass failing(Refuse);
    EXPECT_EQ(E_OUTOFMEMORY, mgr->AddExtension(MakeAgent(u"ext", {u"history"}).Get()));
    EXPECT_EQ(E_OUTOFMEMORY, mgr->AddExtension(MakeAgent(u"new", {u"history"}).Get()));
  }
  EXPECT_EQ(S_OK, Api(mgr.Get(), u"ext", u"hcbrowser.xhr.send"));
  EXPECT_EQ(S_FALSE, Api(mgr.Get(), u"ext", u"hcbrowser.history.search"));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"new", u"extension.invoke.register"));
  // A factory that succeeds without an object makes no set either.
  ScopedSetClass empty([](REFIID, void** out) {
    *out = nullptr;
    return S_OK;
  });
  EXPECT_EQ(E_FAIL, mgr->AddExtension(MakeAgent(u"new", {u"xhr"}).Get()));
  EXPECT_EQ(E_FAIL, Api(mgr.Get(), u"new", u"hcbrowser.xhr.send"));
}

}  // namespace
}  // namespace permission_test
