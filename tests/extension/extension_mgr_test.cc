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
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_test_util.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using Logic::IExtensionMgr;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;

std::vector<std::u16string> Texts(const std::vector<ListenerEvent>& events) {
  std::vector<std::u16string> texts;
  for (const ListenerEvent& e : events) texts.push_back(e.text);
  return texts;
}

std::vector<std::u16string> InstalledIds(IExtensionMgr* mgr) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, mgr->GetInstalledExtensions(list.ReleaseAndGetAddressOf()));
  std::vector<std::u16string> ids;
  LONG count = 0;
  if (list) list->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr id;
    list->GetAt(i, id.Receive());
    ids.emplace_back(id.View());
  }
  return ids;
}

constexpr int kCommonCmdHostClassIndex = 0;  // CCoExtCommonCmdHost in the module's class table

template <class T>
ULONG References(T* object) {
  object->AddRef();
  return object->Release();
}

// --- Start-up ---

using ExtensionMgrStartupTest = ExtensionMgrFixture;

TEST_F(ExtensionMgrStartupTest, ListenersHearTheListThenFirstReadyOnTheirOwnThreads) {
  InstallFakes();
  CreateDatabaseFile();
  PutRecords({Record(u"beta", 0), Record(u"alpha")});
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> on_ui = ListenOn(mgr.Get(), kThreadUI);
  ComPtr<RecordingListener> on_ipc = ListenOn(mgr.Get(), kThreadIPC);
  SwitchAndWait(mgr.Get(), on_ui.Get(), 2);
  ASSERT_TRUE(on_ipc->WaitForEvents(2));
  const std::vector<std::u16string> expected = {u"List:alpha,beta", u"FirstReady"};
  EXPECT_EQ(expected, Texts(on_ui->Events()));
  EXPECT_EQ(expected, Texts(on_ipc->Events()));
  for (const ListenerEvent& e : on_ui->Events()) EXPECT_EQ(host_.ThreadId(kThreadUI), e.thread_id);
  for (const ListenerEvent& e : on_ipc->Events()) {
    EXPECT_EQ(host_.ThreadId(kThreadIPC), e.thread_id);
  }
  EXPECT_EQ((std::vector<std::u16string>{u"alpha", u"beta"}), InstalledIds(mgr.Get()));
}

TEST_F(ExtensionMgrStartupTest, ListenerOnTheManagerThreadIsCalledInPlace) {
  InstallFakes();
  CreateDatabaseFile();
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = halcy::MakeComObject<RecordingListener>();
  ASSERT_EQ(S_OK,
            mgr->AddListener(7, host_.ThreadId(kThreadExtensionManager), listener.Get(), FALSE));
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ((std::vector<std::u16string>{u"List:", u"FirstReady"}), Texts(listener->Events()));
  EXPECT_EQ(host_.ThreadId(kThreadExtensionManager), listener->Events()[1].thread_id);
}

TEST_F(ExtensionMgrStartupTest, NothingInstalledBroadcastsAnEmptyList) {
  InstallFakes();
  CreateDatabaseFile();
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ((std::vector<std::u16string>{u"List:", u"FirstReady"}), Texts(listener->Events()));
  EXPECT_TRUE(InstalledIds(mgr.Get()).empty());
}

TEST_F(ExtensionMgrStartupTest, SecondSwitchUserReusesTheDatabaseAndBroadcastsAgain) {
  InstallFakes();
  CreateDatabaseFile();
  PutRecords({Record(u"alpha"), Record(u"beta")});
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  // The store changes between the two start-ups: the second reads it again through the same
  // wrapper and forgets what the first loaded.
  {
    std::lock_guard<std::mutex> lock(fakes_.database->data->mutex);
    fakes_.database->data->records.erase(u"alpha");
  }
  PutRecords({Record(u"gamma")});
  SwitchAndWait(mgr.Get(), listener.Get(), 4);
  EXPECT_EQ((std::vector<std::u16string>{u"List:alpha,beta", u"FirstReady", u"List:beta,gamma",
                                         u"FirstReady"}),
            Texts(listener->Events()));
  std::lock_guard<std::mutex> lock(fakes_.database->data->mutex);
  EXPECT_EQ(1, fakes_.database->data->opens);
}

TEST_F(ExtensionMgrStartupTest, FirstStartWithoutStoreOrBuiltInSetAnnouncesNothing) {
  fakes_.database = nullptr;
  InstallFakes();
  testing_support::LogCapture log;
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  ASSERT_EQ(S_OK, mgr->SwitchUser());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(listener->Events().empty());
  EXPECT_TRUE(log.Contains(u"extKvt: Begin copy from install dir sync"));
  EXPECT_FALSE(log.Contains(u"Broadcast FirstReady"));
  halcy::ScopedBstr directory;
  EXPECT_EQ(S_FALSE, mgr->GetExtensionDataDirectory(directory.Receive()));
}

TEST_F(ExtensionMgrStartupTest, WithoutStoreTheManagerStillStartsEmpty) {
  fakes_.database = nullptr;
  InstallFakes();
  WriteBuiltInSet({Record(u"alpha")}, "", "");
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ((std::vector<std::u16string>{u"List:", u"FirstReady"}), Texts(listener->Events()));
}

TEST_F(ExtensionMgrStartupTest, FirstStartRunsTheConverterThenSeedsFromTheBuiltInSet) {
  InstallFakes();
  WriteConverter("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/converter_args.txt\"\n");
  WriteBuiltInSet({Record(u"alpha"), Record(u"beta", 0, 3)}, "3", "20261206");
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);

  const std::string args =
      testing_support::ReadFileOrEmpty(env_.browser_dir() + "/converter_args.txt");
  std::u16string root;
  ASSERT_TRUE(Logic::GetDataRoot(&root));
  EXPECT_EQ("--action=convert\n--type=extension\n--dir=" +
                halcy::Utf16ToUtf8(root + u"SysData\\localextensions") + "\n",
            args);
  EXPECT_TRUE(std::filesystem::exists(UserExtensionsDir() + "/alpha/manifest.json"));
  EXPECT_TRUE(std::filesystem::exists(UserExtensionsDir() + "/beta/manifest.json"));
  EXPECT_EQ((std::vector<std::u16string>{u"List:alpha,beta", u"FirstReady"}),
            Texts(listener->Events()));
  std::lock_guard<std::mutex> lock(fakes_.database->data->mutex);
  EXPECT_EQ(u"localextensions\\extdb_v2.json", fakes_.database->data->opened_relative_path);
  EXPECT_EQ(Logic::kExtensionStoreId, fakes_.database->data->opened_store_id);
  EXPECT_EQ(1, fakes_.database->data->factory_kind);
}

TEST_F(ExtensionMgrStartupTest, ADatabaseLeftByTheConverterIsNotOverwrittenByTheBuiltInSet) {
  InstallFakes();
  // The converter writes a database holding "converted" into the directory it is given.
  WriteConverter(
      "dir=$(printf '%s' \"$3\" | sed -e 's/^--dir=//' -e 's#\\\\#/#g')\n"
      "mkdir -p \"$dir\"\n"
      "printf 'converted\\t1\\t0\\thcextdbpath/converted\\t{}\\n' > \"$dir/extdb_v2.json\"\n");
  WriteBuiltInSet({Record(u"alpha")}, "", "");
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ(u"List:converted", listener->Events()[0].text);
  EXPECT_FALSE(std::filesystem::exists(UserExtensionsDir() + "/alpha"));
}

TEST_F(ExtensionMgrStartupTest, StartUpRecordsTheExtensionStateAndTheSkinPrefix) {
  InstallFakes();
  WriteBuiltInSet({Record(u"alpha"), Record(u"beta", 0), Record(u"gamma", 2)}, "3", "20261206");
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);

  std::vector<RecordedAction> actions = fakes_.statistics->Actions();
  ASSERT_EQ(1u, actions.size());
  EXPECT_EQ(u"UserAction", actions[0].category);
  EXPECT_EQ(u"UserExtensionState", actions[0].key);
  EXPECT_EQ(2, actions[0].kind);
  const std::vector<std::pair<std::u16string, std::u16string>> expected = {
      {u"version", u"6.5.1.2"},      {u"client", u"browser"},      {u"DBVersion", u"3"},
      {u"DataVersion", u"20261206"}, {u"ExtID_alpha", u"enabled"}, {u"ExtID_beta", u"disabled"},
      {u"ExtID_gamma", u"enabled"},
  };
  EXPECT_EQ(expected, actions[0].properties);
  const auto skins = fakes_.skin->Registrations();
  ASSERT_EQ(1u, skins.size());
  EXPECT_EQ(u"extskin:", skins[0].first);
  EXPECT_EQ(DataDirectoryText(), skins[0].second);
}

TEST_F(ExtensionMgrStartupTest, MissingStatisticsAndSkinServicesAreSkipped) {
  fakes_.statistics = nullptr;
  fakes_.skin = nullptr;
  fakes_.version = nullptr;
  InstallFakes();
  CreateDatabaseFile();
  PutRecords({Record(u"alpha")});
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ(u"FirstReady", listener->Events()[1].text);
}

// --- Shut-down and references ---

TEST_F(ExtensionMgrStartupTest, UninitializeReleasesCommandHostsAndTheManagerItsListeners) {
  InstallFakes();
  CreateDatabaseFile();
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  ComPtr<Logic::IExtCmdHost> host;
  ASSERT_EQ(S_OK,
            Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr, Logic::IExtCmdHost::kIID,
                                       host.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, mgr->RegisterCmdHost(host.Get()));
  EXPECT_EQ(S_OK, mgr->RegisterCmdHost(nullptr));
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  EXPECT_EQ(2u, References(host.Get()));

  ASSERT_EQ(S_OK, mgr->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, References(host.Get()));
  EXPECT_EQ(2u, References(listener.Get()));  // the manager keeps its listeners

  // After uninitialize a switch user starts again and is heard by the same listener.
  SwitchAndWait(mgr.Get(), listener.Get(), 4);
  mgr = nullptr;
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, References(listener.Get()));
}

TEST_F(ExtensionMgrStartupTest, StartUpCreatesTheCommonCommandHostOnceAndUninitializeDropsIt) {
  InstallFakes();
  CreateDatabaseFile();
  std::atomic<int> created{0};
  halcy::CreatableClass entry;
  entry.create = [&created](REFIID iid, void** out) {
    ++created;
    return Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr, iid, out);
  };
  halcy::CreatableClass saved =
      halcy::SetCreatableClass(Logic::kIID_IExtCommonCmdHost, std::move(entry));
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), kThreadUI);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  auto* impl = static_cast<Logic::CCoExtensionMgr*>(mgr.Get())->impl();
  std::vector<ComPtr<Logic::IExtCmdHost>> hosts = impl->CommandHosts();
  ASSERT_EQ(1u, hosts.size());
  ComPtr<Logic::IExtCommonCmdHost> common;
  EXPECT_EQ(S_OK, hosts[0]->QueryInterface(Logic::IExtCommonCmdHost::kIID,
                                           common.ReleaseAndGetVoidAddress()));
  // The same host is kept while the manager runs: a second start-up adds no second one.
  SwitchAndWait(mgr.Get(), listener.Get(), 4);
  EXPECT_EQ(1u, impl->CommandHosts().size());
  EXPECT_EQ(1, created.load());

  ASSERT_EQ(S_OK, mgr->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(impl->CommandHosts().empty());
  hosts.clear();
  EXPECT_EQ(1u, References(common.Get()));  // only the test's reference is left
  halcy::SetCreatableClass(Logic::kIID_IExtCommonCmdHost, std::move(saved));
}

// --- The listener broadcast ---

using ExtensionMgrListenerTest = ExtensionMgrFixture;

TEST_F(ExtensionMgrListenerTest, ExcludedIdIsSkippedAndZeroExcludesNobody) {
  InstallFakes();
  base::RefPtr<Logic::CExtensionMgrImpl> impl(new Logic::CExtensionMgrImpl(nullptr));
  const DWORD ui = host_.ThreadId(kThreadUI);
  std::vector<ComPtr<RecordingListener>> listeners;
  for (LONG id : {0, 5, 7}) {
    listeners.push_back(halcy::MakeComObject<RecordingListener>());
    ASSERT_EQ(S_OK, impl->AddListener(id, ui, listeners.back().Get(), FALSE));
  }
  auto first_ready = [](Logic::IExtensionMgrListener* l) { return l->OnFirstReady(); };
  impl->BroadcastToListeners(7, first_ready);
  impl->BroadcastToListeners(0, first_ready);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(2u, listeners[0]->Events().size());
  EXPECT_EQ(2u, listeners[1]->Events().size());
  EXPECT_EQ(1u, listeners[2]->Events().size());
}

TEST_F(ExtensionMgrListenerTest, ResultIsThatOfTheLastDirectCall) {
  InstallFakes();
  base::RefPtr<Logic::CExtensionMgrImpl> impl(new Logic::CExtensionMgrImpl(nullptr));
  ComPtr<RecordingListener> here_ok = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> here_fails = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> elsewhere = halcy::MakeComObject<RecordingListener>();
  here_fails->set_result(E_FAIL);
  elsewhere->set_result(S_FALSE);
  const DWORD ui = host_.ThreadId(kThreadUI);
  impl->AddListener(1, ui, here_ok.Get(), FALSE);
  impl->AddListener(2, ui, here_fails.Get(), FALSE);
  impl->AddListener(3, host_.ThreadId(kThreadIPC), elsewhere.Get(), FALSE);
  auto first_ready = [](Logic::IExtensionMgrListener* l) { return l->OnFirstReady(); };
  EXPECT_EQ(E_FAIL,
            host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(0, first_ready); }));
  EXPECT_EQ(S_OK,
            host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(2, first_ready); }));
  // Nobody on the calling thread: nothing ran here, S_OK.
  EXPECT_EQ(S_OK, host_.RunOn(kThreadExtensionManager,
                              [&] { return impl->BroadcastToListeners(0, first_ready); }));
  ASSERT_TRUE(elsewhere->WaitForEvents(3));
  ASSERT_TRUE(host_.WaitIdle());
  for (const ListenerEvent& e : elsewhere->Events()) {
    EXPECT_EQ(host_.ThreadId(kThreadIPC), e.thread_id);
  }
}

TEST_F(ExtensionMgrListenerTest, ListenersRegisterWithTheUserServiceWhenAsked) {
  InstallFakes();
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> quiet = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> registered = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> user_side = halcy::MakeComObject<RecordingListener>();
  EXPECT_EQ(S_OK, mgr->AddListener(3, 1234, quiet.Get(), FALSE));
  EXPECT_EQ(S_OK, mgr->AddListener(4, 4321, registered.Get(), TRUE));
  const DWORD ui = host_.ThreadId(kThreadUI);
  host_.RunOn(kThreadUI, [&] {
    EXPECT_EQ(S_OK, mgr->AddListenerOnCallingThread(user_side.Get(), quiet.Get()));
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
  EXPECT_EQ(E_INVALIDARG, mgr->AddListener(5, ui, nullptr, TRUE));
  EXPECT_EQ(2u, host_.user_service()->Registrations().size());
}

TEST_F(ExtensionMgrListenerTest, SequenceNumbersAreUniqueAcrossThreads) {
  InstallFakes();
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
