// The extension manager's start-up, listener broadcast and shut-down, through IExtensionMgr on
// the test host's threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/ref_counted.h"
#include "command/ext_cmd_host.h"
#include "command/ext_common_cmd_host.h"
#include "common/paths.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_test_util.h"
#include "host/browser_services.h"
#include "host/database_service.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using Logic::IExtensionMgr;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;
using Texts = std::vector<std::u16string>;

constexpr int kCommonCmdHostClassIndex = 0;  // CCoExtCommonCmdHost in the module's class table

template <class T>
ULONG References(T* object) {
  object->AddRef();
  return object->Release();
}

// --- Start-up ---

using ExtensionMgrStartupTest = ExtensionMgrFixture;

TEST_F(ExtensionMgrStartupTest, ListenersHearTheListThenFirstReadyOnTheirOwnThreads) {
  PutRecords({Record(u"beta", 0), Record(u"alpha")});
  mgr_ = NewMgr();
  const std::pair<int, ComPtr<RecordingListener>> listeners[] = {
      {kThreadUI, ListenOn(mgr_.Get(), kThreadUI)},
      {kThreadIPC, ListenOn(mgr_.Get(), kThreadIPC)},
      {kThreadExtensionManager, halcy::MakeComObject<RecordingListener>()},
  };
  // Named by thread id; on the manager's own thread it is called in place.
  ASSERT_EQ(S_OK, mgr_->AddListener(7, host_.ThreadId(kThreadExtensionManager),
                                    listeners[2].second.Get(), FALSE));
  ASSERT_EQ(S_OK, mgr_->SwitchUser());
  for (const auto& [kind, listener] : listeners) {
    ASSERT_TRUE(listener->WaitForEvents(2));
    EXPECT_EQ((Texts{u"List:alpha,beta", u"FirstReady"}), listener->Texts());
    for (const ListenerEvent& e : listener->Events()) EXPECT_EQ(host_.ThreadId(kind), e.thread_id);
  }
  ComPtr<IStringList> installed;
  ASSERT_EQ(S_OK, mgr_->GetInstalledExtensions(installed.ReleaseAndGetAddressOf()));
  EXPECT_EQ((Texts{u"alpha", u"beta"}), Items(installed.Get()));
}

TEST_F(ExtensionMgrStartupTest, SecondSwitchUserReadsTheStoreAgainAndBroadcastsAgain) {
  Start({Record(u"alpha"), Record(u"beta")});
  // The host keeps one store per file: this is the one the manager opened.
  std::u16string path = Logic::kExtensionDbRelativePath;
  ASSERT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  ComPtr<Logic::IExtensionStore> store;
  ASSERT_EQ(S_OK,
            host_.services().database_service()->OpenStoreAt(path, store.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, store->Remove(u"alpha"));
  SwitchAndWait(mgr_.Get(), listener_.Get(), 4);
  EXPECT_EQ((Texts{u"List:alpha,beta", u"FirstReady", u"List:beta", u"FirstReady"}),
            listener_->Texts());
}

TEST_F(ExtensionMgrStartupTest, FirstStartWithoutDatabaseOrBuiltInSetAnnouncesNothing) {
  testing_support::LogCapture log;
  mgr_ = NewMgr();
  listener_ = ListenOn(mgr_.Get(), kThreadUI);
  ASSERT_EQ(S_OK, mgr_->SwitchUser());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(listener_->Events().empty());
  EXPECT_TRUE(log.Contains(u"extKvt: Begin copy from install dir sync"));
  EXPECT_FALSE(log.Contains(u"Broadcast FirstReady"));
  halcy::ScopedBstr directory;
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionDataDirectory(directory.Receive()));
}

TEST_F(ExtensionMgrStartupTest, WithoutTheBrowsersServicesTheManagerStillStartsEmpty) {
  for (const IID iid : {Logic::IDatabaseService::kIID, Logic::IStatisticsService::kIID,
                        Logic::ISkinService::kIID, Logic::IVersionService::kIID}) {
    host_.ReplaceService(iid, nullptr);
  }
  Start({Record(u"alpha")});
  EXPECT_EQ((Texts{u"List:", u"FirstReady"}), listener_->Texts());
}

TEST_F(ExtensionMgrStartupTest, FirstStartRunsTheConverterThenSeedsFromTheBuiltInSet) {
  WriteConverter("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/converter_args.txt\"\n");
  WriteBuiltInSet({Record(u"alpha"), Record(u"beta", 0, 3), Record(u"gamma", 2)}, "3", "20261206");
  mgr_ = NewMgr();
  listener_ = ListenOn(mgr_.Get(), kThreadUI);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 2);

  std::u16string root;
  ASSERT_TRUE(Logic::GetDataRoot(&root));
  EXPECT_EQ("--action=convert\n--type=extension\n--dir=" +
                halcy::Utf16ToUtf8(root + u"SysData\\localextensions") + "\n",
            testing_support::ReadFileOrEmpty(env_.browser_dir() + "/converter_args.txt"));
  for (const char* id : {"alpha", "beta", "gamma"}) {
    EXPECT_TRUE(std::filesystem::exists(UserExtensionsDir() + "/" + id + "/manifest.json")) << id;
  }
  EXPECT_EQ((Texts{u"List:alpha,beta,gamma", u"FirstReady"}), listener_->Texts());

  // Start-up records the installed set with the versions of the built-in set.
  const std::vector<RecordedAction> actions = statistics_->Actions();
  ASSERT_EQ(1u, actions.size());
  EXPECT_EQ(u"UserAction", actions[0].category);
  EXPECT_EQ(u"UserExtensionState", actions[0].key);
  EXPECT_EQ(2, actions[0].kind);
  EXPECT_EQ((Properties{{u"version", u"6.5.1.2"},
                        {u"client", u"browser"},
                        {u"DBVersion", u"3"},
                        {u"DataVersion", u"20261206"},
                        {u"ExtID_alpha", u"enabled"},
                        {u"ExtID_beta", u"disabled"},
                        {u"ExtID_gamma", u"enabled"}}),
            actions[0].properties);
  EXPECT_EQ(DataDirectoryText(), host_.services().skin_service()->DirectoryOf(u"extskin:"));
}

TEST_F(ExtensionMgrStartupTest, ADatabaseLeftByTheConverterIsNotOverwrittenByTheBuiltInSet) {
  // The converter writes a database holding "converted" into the directory it is given.
  WriteConverter(
      "dir=$(printf '%s' \"$3\" | sed -e 's/^--dir=//' -e 's#\\\\#/#g')\n"
      "mkdir -p \"$dir\"\n"
      "printf '%s' '{\"format\":\"plexore-extdb\",\"version\":1,\"extensions\":[{\"id\":"
      "\"converted\",\"state\":1,\"flags\":0,\"directory\":\"d\"}]}' > \"$dir/extdb_v2.json\"\n");
  WriteBuiltInSet({Record(u"alpha")}, "", "");
  mgr_ = NewMgr();
  listener_ = ListenOn(mgr_.Get(), kThreadUI);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
  EXPECT_EQ(u"List:converted", listener_->Texts()[0]);
  EXPECT_FALSE(std::filesystem::exists(UserExtensionsDir() + "/alpha"));
}

// --- Shut-down and references ---

TEST_F(ExtensionMgrStartupTest, UninitializeReleasesCommandHostsAndTheManagerItsListeners) {
  std::atomic<int> created{0};
  halcy::CreatableClass counting;
  counting.create = [&created](REFIID iid, void** out) {
    ++created;
    return Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr, iid, out);
  };
  halcy::CreatableClass saved =
      halcy::SetCreatableClass(Logic::kIID_IExtCommonCmdHost, std::move(counting));
  PutRecords({});
  mgr_ = NewMgr();
  listener_ = ListenOn(mgr_.Get(), kThreadUI);
  ComPtr<Logic::IExtCmdHost> registered;
  ASSERT_EQ(S_OK,
            Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr, Logic::IExtCmdHost::kIID,
                                       registered.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, mgr_->RegisterCmdHost(registered.Get()));
  EXPECT_EQ(S_OK, mgr_->RegisterCmdHost(nullptr));
  SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 4);  // the common host is made once
  halcy::SetCreatableClass(Logic::kIID_IExtCommonCmdHost, std::move(saved));
  EXPECT_EQ(1, created.load());
  std::vector<ComPtr<Logic::IExtCmdHost>> hosts = impl()->CommandHosts();
  ASSERT_EQ(2u, hosts.size());
  ComPtr<Logic::IExtCommonCmdHost> common;
  ASSERT_EQ(S_OK, hosts[1]->QueryInterface(Logic::IExtCommonCmdHost::kIID,
                                           common.ReleaseAndGetVoidAddress()));
  hosts.clear();
  EXPECT_EQ(2u, References(registered.Get()));

  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(impl()->CommandHosts().empty());
  EXPECT_EQ(1u, References(registered.Get()));
  EXPECT_EQ(1u, References(common.Get()));
  EXPECT_EQ(2u, References(listener_.Get()));  // the manager keeps its listeners

  // After uninitialize a switch user starts again and is heard by the same listener.
  SwitchAndWait(mgr_.Get(), listener_.Get(), 6);
  mgr_ = nullptr;
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, References(listener_.Get()));
}

// --- The listener broadcast ---

using ExtensionMgrListenerTest = ExtensionMgrFixture;

HRESULT FirstReady(Logic::IExtensionMgrListener* listener) { return listener->OnFirstReady(); }

TEST_F(ExtensionMgrListenerTest, ExcludedIdIsSkippedAndTheResultIsThatOfTheLastDirectCall) {
  base::RefPtr<Logic::CExtensionMgrImpl> impl(new Logic::CExtensionMgrImpl(nullptr));
  ComPtr<RecordingListener> here_ok = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> here_fails = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> elsewhere = halcy::MakeComObject<RecordingListener>();
  here_fails->set_result(E_FAIL);
  elsewhere->set_result(S_FALSE);
  const DWORD ui = host_.ThreadId(kThreadUI);
  impl->AddListener(0, ui, here_ok.Get(), FALSE);
  impl->AddListener(2, ui, here_fails.Get(), FALSE);
  impl->AddListener(3, host_.ThreadId(kThreadIPC), elsewhere.Get(), FALSE);
  EXPECT_EQ(E_FAIL,
            host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(0, FirstReady); }));
  EXPECT_EQ(S_OK,
            host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(2, FirstReady); }));
  // Nobody on the calling thread: nothing ran here, S_OK.
  EXPECT_EQ(S_OK, host_.RunOn(kThreadExtensionManager,
                              [&] { return impl->BroadcastToListeners(0, FirstReady); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(3u, here_ok->Events().size());  // zero excludes nobody
  EXPECT_EQ(2u, here_fails->Events().size());
  ASSERT_EQ(3u, elsewhere->Events().size());
  for (const ListenerEvent& e : elsewhere->Events()) {
    EXPECT_EQ(host_.ThreadId(kThreadIPC), e.thread_id);
  }
}

TEST_F(ExtensionMgrListenerTest, ListenersRegisterWithTheUserServiceWhenAsked) {
  mgr_ = NewMgr();
  ComPtr<RecordingListener> quiet = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> registered = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> user_side = halcy::MakeComObject<RecordingListener>();
  EXPECT_EQ(S_OK, mgr_->AddListener(3, 1234, quiet.Get(), FALSE));
  EXPECT_EQ(S_OK, mgr_->AddListener(4, 4321, registered.Get(), TRUE));
  const DWORD ui = host_.ThreadId(kThreadUI);
  host_.RunOn(kThreadUI, [&] {
    EXPECT_EQ(S_OK, mgr_->AddListenerOnCallingThread(user_side.Get(), quiet.Get()));
  });
  auto records = host_.user_service()->Registrations();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(Logic::kIID_IUserChangeListener, records[0].listener_iid);
  EXPECT_EQ(4, records[0].listener_id);
  EXPECT_EQ(4321u, records[0].thread_id);
  EXPECT_EQ(static_cast<IUnknown*>(static_cast<Logic::IExtensionMgrListener*>(registered.Get())),
            records[0].listener.Get());
  EXPECT_EQ(Logic::kIID_IUserChangeListener, records[1].listener_iid);
  EXPECT_EQ(ui, records[1].thread_id);
  EXPECT_EQ(E_INVALIDARG, mgr_->AddListener(5, ui, nullptr, TRUE));
  EXPECT_EQ(2u, host_.user_service()->Registrations().size());
}

TEST_F(ExtensionMgrListenerTest, SequenceNumbersAreUniqueAcrossThreads) {
  ComPtr<IExtensionMgr> first = NewMgr();
  ComPtr<IExtensionMgr> second = NewMgr();
  EXPECT_EQ(E_INVALIDARG, first->GetNextSequenceNumber(nullptr));
  constexpr int kPerThread = 2000;
  std::vector<std::vector<LONG>> drawn(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      IExtensionMgr* mgr = (t % 2 ? first : second).Get();  // the counter is module-wide
      for (int i = 0; i < kPerThread; ++i) {
        LONG n = 0;
        mgr->GetNextSequenceNumber(&n);
        drawn[static_cast<size_t>(t)].push_back(n);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<LONG> all;
  for (const auto& d : drawn) all.insert(all.end(), d.begin(), d.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
  EXPECT_EQ(static_cast<LONG>(all.size()) - 1, all.back() - all.front());  // no gaps either
  for (const auto& d : drawn) EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
}

}  // namespace
}  // namespace extension_testing
