// The extension manager through IExtensionMgr on the test host's threads: start-up, listener
// broadcast and shut-down, its lookups and cached list, the database wrapper and the data
// converter.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "common/paths.h"
#include "command/ext_common_cmd_host.h"
#include "extension/data_converter.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/extension_paths.h"
#include "host/browser_services.h"
#include "host/channel_info.h"
#include "module/channel_info.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/event.h"
#include "platform/kernel_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;
using Texts = std::vector<std::u16string>;
using ExtensionMgrStartupTest = ExtensionMgrFixture;

template <class T>
ULONG References(T* object) {
  object->AddRef();
  return object->Release();
}

TEST_F(ExtensionMgrStartupTest, ListenersHearTheListThenFirstReadyOnTheirOwnThreads) {
  PutRecords({Record(u"beta", 0), Record(u"alpha")});
  mgr_ = NewMgr();
  const std::pair<int, ComPtr<RecordingListener>> listeners[] = {
      {kThreadUI, ListenOn(mgr_.Get(), kThreadUI)},
      {kThreadExtensionManager, halcy::MakeComObject<RecordingListener>()}};
  // Named by thread id; on the manager's own thread it is called in place.
  ASSERT_EQ(S_OK, mgr_->AddListener(7, host_.ThreadId(kThreadExtensionManager),
                                    listeners[1].second.Get(), FALSE));
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

TEST_F(ExtensionMgrStartupTest, FirstStartWithoutDatabaseOrBuiltInSetAnnouncesNothing) {
  testing_support::LogCapture log;
  Start({}, kThreadUI, /*database=*/false, /*events=*/0);
  EXPECT_TRUE(listener_->Events().empty());
  EXPECT_TRUE(log.Contains(u"extKvt: Begin copy from install dir sync"));
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
  const std::string built_in = env_.browser_dir() + "/resource/userdata/localextensions";
  for (const char* id : {"alpha", "beta", "gamma"}) {
    std::filesystem::create_directories(built_in + "/" + id);
  }
  testing_support::WriteFileOrDie(built_in + "/extdb_v2.json",
                                  StoreText({Record(u"alpha"), Record(u"beta", 0, 3), Record(u"gamma", 2)}));
  testing_support::WriteFileOrDie(built_in + "/localextensionversion.json",
                                  "{\"dbversion\":\"3\",\"dataversion\":\"20261206\"}");
  Start({}, kThreadUI, /*database=*/false);
  std::u16string root;
  ASSERT_TRUE(Logic::GetDataRoot(&root));
  EXPECT_EQ("--action=convert\n--type=extension\n--dir=" +
                halcy::Utf16ToUtf8(root + u"SysData\\localextensions") + "\n",
            testing_support::ReadFileOrEmpty(env_.browser_dir() + "/converter_args.txt"));
  EXPECT_TRUE(std::filesystem::exists(UserExtensionsDir() + "/gamma"));
  EXPECT_EQ((Texts{u"List:alpha,beta,gamma", u"FirstReady"}), listener_->Texts());
  // Start-up records the installed set with the versions of the built-in set.
  EXPECT_EQ(std::vector<std::string>{"{\"category\":\"UserAction\",\"key\":\"UserExtensionState\","
                                     "\"kind\":2,\"properties\":{\"version\":\"6.5.1.2\",\"client\":"
                                     "\"browser\",\"DBVersion\":\"3\",\"DataVersion\":\"20261206\","
                                     "\"ExtID_alpha\":\"enabled\",\"ExtID_beta\":\"disabled\","
                                     "\"ExtID_gamma\":\"enabled\"}}"},
            StatisticsLines());
  EXPECT_EQ(DataDirectoryText(), host_.services().skin_service()->DirectoryOf(u"extskin:"));
}

TEST_F(ExtensionMgrStartupTest, UninitializeReleasesCommandHostsButNotTheListeners) {
  constexpr int kCommonCmdHostClassIndex = 0;  // in the module's class table
  halcy::CreatableClass common_host;
  common_host.create = [](REFIID iid, void** out) {
    return Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr, iid, out);
  };
  registrations_.PublishClass(Logic::kIID_IExtCommonCmdHost, std::move(common_host));
  PutRecords({});
  mgr_ = NewMgr();
  ComPtr<Logic::IExtCmdHost> registered;
  ASSERT_EQ(S_OK, Logic::CreateClassInstance(kCommonCmdHostClassIndex, nullptr,
                                             Logic::IExtCmdHost::kIID,
                                             registered.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, mgr_->RegisterCmdHost(registered.Get()));
  EXPECT_EQ(S_OK, mgr_->RegisterCmdHost(nullptr));
  listener_ = ListenOn(mgr_.Get(), kThreadUI);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 4);
  ASSERT_EQ(2u, impl()->CommandHosts().size());  // the common host is made once
  ComPtr<Logic::IExtCmdHost> common = impl()->CommandHosts()[1];
  EXPECT_EQ(2u, References(registered.Get()));
  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(impl()->CommandHosts().empty());
  EXPECT_EQ(1u, References(registered.Get()));
  EXPECT_EQ(1u, References(common.Get()));
  // A switch user after it starts again and is heard by the same listener.
  SwitchAndWait(mgr_.Get(), listener_.Get(), 6);
  mgr_ = nullptr;
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, References(listener_.Get()));
}

TEST_F(ExtensionMgrStartupTest, BroadcastSkipsTheExcludedIdAndAnswersWithTheLastDirectCall) {
  base::RefPtr<Logic::CExtensionMgrImpl> impl(new Logic::CExtensionMgrImpl(nullptr));
  ComPtr<RecordingListener> here = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> fails = halcy::MakeComObject<RecordingListener>();
  ComPtr<RecordingListener> elsewhere = halcy::MakeComObject<RecordingListener>();
  fails->set_result(E_FAIL);
  elsewhere->set_result(S_FALSE);
  impl->AddListener(0, host_.ThreadId(kThreadUI), here.Get(), FALSE);
  impl->AddListener(2, host_.ThreadId(kThreadUI), fails.Get(), FALSE);
  impl->AddListener(3, host_.ThreadId(kThreadIPC), elsewhere.Get(), FALSE);
  auto first_ready = [](Logic::IExtensionMgrListener* l) { return l->OnFirstReady(); };
  EXPECT_EQ(E_FAIL, host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(0, first_ready); }));
  EXPECT_EQ(S_OK, host_.RunOn(kThreadUI, [&] { return impl->BroadcastToListeners(2, first_ready); }));
  // Nobody on the calling thread: S_OK.
  EXPECT_EQ(S_OK, host_.RunOn(kThreadExtensionManager,
                              [&] { return impl->BroadcastToListeners(0, first_ready); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(3u, here->Events().size());  // zero excludes nobody
  EXPECT_EQ(2u, fails->Events().size());
  ASSERT_EQ(3u, elsewhere->Events().size());
  EXPECT_EQ(host_.ThreadId(kThreadIPC), elsewhere->Events()[2].thread_id);
}

using ExtensionMgrLookupTest = ExtensionMgrFixture;

TEST_F(ExtensionMgrLookupTest, AgentAndStateLookupsFindOnlyInstalledExtensions) {
  Start({Record(u"alpha", 1, 2)});
  LONG flags = 0, state = -1;
  Agent(u"alpha")->GetFlags(&flags);
  EXPECT_EQ(2, flags);
  halcy::ScopedBstr alpha(u"alpha"), missing(u"missing");
  auto* sentinel = reinterpret_cast<Logic::IExtensionAgent*>(0x1234);
  Logic::IExtensionAgent* out = sentinel;
  EXPECT_EQ(S_OK, mgr_->GetExtensionAgent(missing.Get(), &out));
  EXPECT_EQ(sentinel, out);
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionAgent(alpha.Get(), nullptr));
  EXPECT_EQ(S_FALSE, mgr_->GetInstalledExtensions(nullptr));
  ASSERT_EQ(S_OK, mgr_->SetExtensionStateValue(alpha.Get(), 0));
  Agent(u"alpha")->GetState(&state);
  EXPECT_EQ(0, state);
  EXPECT_EQ(0, StoredRecords().at(u"alpha").state);
  EXPECT_EQ(S_FALSE, mgr_->SetExtensionStateValue(missing.Get(), 0));
}

TEST_F(ExtensionMgrLookupTest, UrlAndSinkLookupsMatchTheBaseAddressIgnoringCase) {
  Start({Record(u"alpha"), Record(u"alphabet")});
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"hcbrowser://localextensions/alpha/popup.html", u"alpha"},
      {u"HCBROWSER://LocalExtensions/ALPHABET/x", u"alphabet"},
      {u"hcbrowser://localextensions/alph/", u""},
      {u"hcbrowser://localextensions/alpha", u""},  // the base ends in "/"
      {u"http://localextensions/alpha/", u""}};
  for (const auto& [address, id] : cases) {
    halcy::ScopedBstr url(address), found;
    EXPECT_EQ(*id ? S_OK : E_FAIL, mgr_->FindExtensionOfUrl(url.Get(), found.Receive()));
    EXPECT_EQ(std::u16string(id), std::u16string(found.View())) << halcy::Utf16ToUtf8(address);
  }
  // A sink is found by its URL once, then by its two values alone, and only by both.
  halcy::ScopedBstr url(u"hcbrowser://localextensions/alpha/panel.html"), id;
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, nullptr, url.Get()));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), url.Get()));
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  EXPECT_EQ(u"alpha", id.View());
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 3, id.Receive(), nullptr));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(2, 1, id.Receive(), nullptr));
}

TEST_F(ExtensionMgrLookupTest, DataDirectoryResolvesTheDbPathPrefix) {
  Start({});
  halcy::ScopedBstr directory, id(u"alpha"), file(u"img/icon.png"), path;
  ASSERT_EQ(S_OK, mgr_->GetExtensionDataDirectory(directory.Receive()));
  EXPECT_EQ(DataDirectoryText(), directory.View());
  const std::pair<const char16_t*, std::u16string> cases[] = {
      {u"hcextdbpath/alpha", DataDirectoryText() + u"\\alpha"},
      {u"hcextdbpath\\a\\b", DataDirectoryText() + u"\\a\\b"},
      {u"hcextdbpath", u"hcextdbpath"},
      {u"hcextdbpathX/a", u"hcextdbpathX/a"}};
  for (const auto& [recorded, resolved] : cases) {
    EXPECT_EQ(resolved, Logic::ResolveExtensionPath(recorded)) << halcy::Utf16ToUtf8(recorded);
  }
  ASSERT_EQ(S_OK, mgr_->BuildExtensionResourcePath(id.Get(), file.Get(), path.Receive()));
  EXPECT_EQ(u"hcbrowser://localextensions/alpha/img/icon.png", path.View());
}

TEST_F(ExtensionMgrLookupTest, CachedListIsSavedWholeAndLoadedWithoutIncompleteRecords) {
  StoreRecord beta = Record(u"beta", 0, 3);
  beta.directory = u"/opt/ext/beta";
  Start({beta});
  ComPtr<Logic::ICacheStore> cache;
  host_.services().channel_info()->GetCacheStore(cache.ReleaseAndGetAddressOf());
  auto entry = [&](const std::u16string& name) {
    ComPtr<IStringList> list;
    cache->ReadEntry(name.c_str(), 1000, list.ReleaseAndGetAddressOf());
    return Items(list.Get());
  };
  auto put = [&](const std::u16string& name, const Texts& values) {
    ComPtr<IStringList> list;
    Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
    for (const std::u16string& value : values) list->Append(value.c_str());
    ASSERT_EQ(S_OK, cache->WriteEntry(name.c_str(), list.Get()));
  };
  ASSERT_EQ(S_OK, mgr_->SaveCachedExtensionList());
  EXPECT_EQ((Texts{u"ext_beta"}), entry(u"ext_list"));
  EXPECT_EQ(
      (Texts{u"beta", u"0", u"3", u"/opt/ext/beta", u"{\"name\":\"beta\",\"version\":\"1.0\"}"}),
      entry(u"ext_beta"));
  for (const char* dir : {"good", "noflags", "nostate"}) {
    std::filesystem::create_directories(UserExtensionsDir() + "/" + dir);
  }
  put(u"ext_list", {u"ext_good", u"ext_noflags", u"ext_nostate", u"ext_gone", u"ext_x"});
  put(u"ext_good", {u"good", u"2", u"1", u"hcextdbpath/good", u"{\"name\":\"G\"}"});
  put(u"ext_noflags", {u"noflags", u"1", u"", u"hcextdbpath/noflags", u"{}"});
  put(u"ext_nostate", {u"nostate", u"", u"0", u"hcextdbpath/nostate", u"{}"});
  put(u"ext_gone", {u"gone", u"1", u"0", u"hcextdbpath/gone", u"{}"});
  mgr_ = NewMgr();
  ASSERT_EQ(S_OK, mgr_->LoadCachedData());
  ComPtr<IStringList> ids;
  ASSERT_EQ(S_OK, mgr_->GetInstalledExtensions(ids.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Texts{u"good"}, Items(ids.Get()));
  LONG state = 0, flags = 0;
  Agent(u"good")->GetState(&state);
  Agent(u"good")->GetFlags(&flags);
  EXPECT_EQ(2, state);
  EXPECT_EQ(1, flags);
  EXPECT_EQ(u"G", Logic::AgentText(Agent(u"good").Get(), &Logic::IExtensionAgent::GetName));
}

TEST(ExtensionDbTest, OnlyJsonPathsGiveAWrapperAndTheVersionFileGivesItsTexts) {
  for (const auto& [path, wrapper] :
       {std::pair{u"localextensions\\extdb_v2.json", true}, {u"A.JSON", true}, {u".json", true},
        {u"json", false}, {u"extdb_v2.txt", false}}) {
    EXPECT_EQ(wrapper, Logic::CExtensionDB::Create(path) != nullptr) << halcy::Utf16ToUtf8(path);
  }
  testing_support::ScopedTempDir dir;
  const std::tuple<const char*, const char16_t*, const char16_t*> cases[] = {
      {"{\"dbversion\":\"3\",\"dataversion\":\"20261206\"}", u"3", u"20261206"},
      {"{\"dbversion\":3,\"dataversion\":\"x\"}", u"", u"x"},
      {"[\"3\"]", u"", u""}};
  for (const auto& [contents, db_version, data_version] : cases) {
    testing_support::WriteFileOrDie(dir.File("v.json"), contents);
    const auto v = Logic::ReadExtensionVersionFile(halcy::Utf8ToUtf16(dir.File("v.json")));
    EXPECT_EQ(db_version, v.db_version) << contents;
    EXPECT_EQ(data_version, v.data_version) << contents;
  }
}

TEST_F(ExtensionMgrLookupTest, ConverterGetsItsArgumentsAndIsWaitedForUntilCancelled) {
  // The converter waits for the file "go", then writes its arguments to a file named by its
  // action: a call that does not wait for it returns before that file is there.
  WriteConverter(
      "d=$(dirname \"$0\")\nwhile [ ! -e \"$d/go\" ]; do sleep 0.02; done\nsleep 0.2\n"
      "printf '%s\\n' \"$@\" > \"$d/${1#--action=}.txt\"\n");
  const std::u16string directory = u"C:\\Users\\a b\\SysData";
  const size_t handles = halcy::OpenHandleCountForTesting();
  HANDLE cancelled = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE not_cancelled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto call = std::async(std::launch::async, [&] {
    return Logic::RunDataConverter(u"cancelled", u"extension", directory, cancelled);
  });
  EXPECT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(10)));
  testing_support::WriteFileOrDie(env_.browser_dir() + "/go", "");
  EXPECT_TRUE(call.get());
  for (const auto& [action, cancel] : {std::pair{u"plain", HANDLE{}}, {u"waited", not_cancelled}}) {
    ASSERT_TRUE(Logic::RunDataConverter(action, u"extension", directory, cancel));
    EXPECT_EQ("--action=" + halcy::Utf16ToUtf8(action) + "\n--type=extension\n--dir=C:\\Users\\a b\\SysData\n",
              testing_support::ReadFileOrEmpty(env_.browser_dir() + "/" +
                                               halcy::Utf16ToUtf8(action) + ".txt"));
  }
  CloseHandle(cancelled);
  CloseHandle(not_cancelled);
  EXPECT_EQ(handles, halcy::OpenHandleCountForTesting());  // the process handles are closed
  std::filesystem::remove(env_.browser_dir() + "/Pellwick.exe");
  testing_support::LogCapture log;
  EXPECT_FALSE(Logic::RunDataConverter(u"convert", u"extension", u"x"));
  EXPECT_FALSE(log.LinesWithTag(u"assert;").empty());
}

}  // namespace
}  // namespace extension_testing
