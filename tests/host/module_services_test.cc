// The module's service getters and the object factory's activation of the module's classes,
// against the real host services.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "command/extension_context_menu_mgr.h"
#include "command/extension_notify_mgr.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "module/class_ids.h"
#include "module/logic_global_service.h"
#include "module/services.h"
#include "module/user_service_manager.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/win32.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using testing_support::LogCapture;

struct NamedGetter {
  const char16_t* name;
  IID iid;
  std::function<bool()> found;  // calls the getter; true when it gave a service
};

const NamedGetter kNamedGetters[] = {
    {u"IExtensionNotifyMgr", Logic::IExtensionNotifyMgr::kIID,
     [] { return !!Logic::GetExtensionNotifyMgr(); }},
    {u"IPermissionMgr", Logic::IPermissionMgr::kIID, [] { return !!Logic::GetPermissionMgr(); }},
    {u"IExtensionMgr", Logic::IExtensionMgr::kIID, [] { return !!Logic::GetExtensionMgr(); }},
    {u"IExtensionContextMenuMgr", Logic::IExtensionContextMenuMgr::kIID,
     [] { return !!Logic::GetExtensionContextMenuMgr(); }},
    {u"ILogicGlobalService", Logic::ILogicGlobalService::kIID,
     [] { return !!Logic::GetLogicGlobalService(); }},
    {u"IThreadService", Thread::IThreadService::kIID, [] { return !!Logic::GetThreadService(); }},
    {u"IMessageLoopRegistry", Thread::IMessageLoopRegistry::kIID,
     [] { return !!Logic::GetMessageLoopRegistry(); }},
};

TEST(ModuleServicesTest, AbsentNamedServiceGivesNullAndItsFailureLine) {
  for (const NamedGetter& g : kNamedGetters) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(g.name));
    ComPtr<IUnknown> saved = halcy::SetService(g.iid, nullptr);
    LogCapture log;
    EXPECT_FALSE(g.found());
    std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"oldlog;");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(64, lines[0].level);
    EXPECT_EQ(std::u16string(u"GetService(") + g.name + u") failed: -2147467262", lines[0].text);
    halcy::SetService(g.iid, saved.Get());
  }
}

// Answers every one of the named interfaces, so one object can stand for each service.
class CAnyService final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // lives on the test's stack

 private:
  std::atomic<ULONG> refs_{0};
};

TEST(ModuleServicesTest, PresentServiceIsFoundSilentlyAndLookedUpAgainEachTime) {
  CAnyService first, second;
  for (const NamedGetter& g : kNamedGetters) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(g.name));
    ComPtr<IUnknown> saved = halcy::SetService(g.iid, &first);
    LogCapture log;
    EXPECT_TRUE(g.found());
    halcy::SetService(g.iid, nullptr);
    EXPECT_FALSE(g.found());  // nothing cached from the first call
    halcy::SetService(g.iid, &second);
    EXPECT_TRUE(g.found());
    EXPECT_EQ(1u, log.LinesWithTag(u"oldlog;").size());  // only the absent lookup
    halcy::SetService(g.iid, saved.Get());
  }
}

TEST(ModuleServicesTest, ExtensionMgrIsNotLookedUpWithoutTheSiblingModules) {
  CAnyService mgr;
  ComPtr<IUnknown> saved = halcy::SetService(Logic::IExtensionMgr::kIID, &mgr);
  {
    testing_support::ScopedTempDir empty_browser_dir;
    testing_support::ScopedEnv browser("HALCY_BROWSER_DIR", empty_browser_dir.path());
    Logic::ResetPathCachesForTesting();
    LogCapture log;
    EXPECT_EQ(nullptr, Logic::GetExtensionMgr());
    EXPECT_TRUE(log.LinesWithTag(u"oldlog;").empty());  // no lookup, so no failure line
  }
  Logic::ResetPathCachesForTesting();
  EXPECT_TRUE(Logic::GetExtensionMgr());  // the test binary's directory ships the markers
  halcy::SetService(Logic::IExtensionMgr::kIID, saved.Get());
}

TEST(ModuleServicesTest, UserServiceFailureHasItsOwnLine) {
  ComPtr<IUnknown> saved = halcy::SetService(Logic::IUserServiceManager::kIID, nullptr);
  LogCapture log;
  EXPECT_EQ(nullptr, Logic::GetUserServiceManager());
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"BrowserUser;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"create IUserServiceManager failed", lines[0].text);
  EXPECT_TRUE(log.LinesWithTag(u"oldlog;").empty());
  halcy::SetService(Logic::IUserServiceManager::kIID, saved.Get());
}

TEST(ModuleServicesTest, TestHostSuppliesTheThreadServicesAndTheUserServiceFake) {
  testing_support::TestHost host;
  EXPECT_TRUE(Logic::GetThreadService());
  EXPECT_TRUE(Logic::GetMessageLoopRegistry());
  EXPECT_TRUE(Logic::GetLogicGlobalService());
  ComPtr<Logic::IUserServiceManager> users = Logic::GetUserServiceManager();
  EXPECT_EQ(static_cast<Logic::IUserServiceManager*>(host.user_service()), users.Get());
  host.user_service()->SetCurrentUser(u"alice", 12);
  halcy::ScopedBstr name;
  LONG id = 0;
  ASSERT_EQ(S_OK, users->GetCurrentUser(name.Receive(), &id));
  EXPECT_EQ(u"alice", name.View());
  EXPECT_EQ(12, id);
}

TEST(ObjectFactoryActivationTest, ClassRegisteredByClsidIsCreatedThroughTheRegistry) {
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv registry("HALCY_REGISTRY", dir.File("registry.reg"));
  std::string host_path = PLEXORE_HOST;
  std::string module = host_path.substr(0, host_path.rfind('/')) + "/libplexore.so";
  HMODULE library = LoadLibraryW(halcy::Utf8ToUtf16(module).c_str());
  ASSERT_NE(nullptr, library);
  auto register_server =
      reinterpret_cast<HRESULT (*)()>(GetProcAddress(library, "DllRegisterServer"));
  ASSERT_NE(nullptr, register_server);
  ASSERT_EQ(S_OK, register_server());

  const CLSID permission_set = MakeGuid("{314B7D8D-A9B2-4ceb-A491-BC37785FF5D3}");
  halcy::CreatableClass entry;
  entry.clsid = permission_set;
  halcy::SetCreatableClass(Logic::kIID_IPermissionSet, entry);
  ComPtr<IUnknown> object;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(Logic::kIID_IPermissionSet,
                                               object.ReleaseAndGetVoidAddress()));
  EXPECT_TRUE(object);
  halcy::SetCreatableClass(Logic::kIID_IPermissionSet, {});
  object = nullptr;
  FreeLibrary(library);
}

}  // namespace
