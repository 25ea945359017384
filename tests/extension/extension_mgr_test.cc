// The extension manager through IExtensionMgr on the test host's threads: start-up, listener
// broadcast and shut-down, its lookups and cached list, and the database wrapper; message
// routing to background pages and native libraries (the front-end envelope, named events, the
// front-end sink tables, the messages for the extension-DLL host decoded parameter by
// parameter); and commands from extensions: the trace, the command hosts in order and the
// permission gate with its switch in extensionMgrConfig.ini.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/paths.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/routing_test_util.h"
#include "host/browser_services.h"
#include "host/channel_info.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
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
using ExtensionMgrTest = ExtensionMgrFixture;

TEST_F(ExtensionMgrTest, ListenersHearTheListThenFirstReadyOnTheirOwnThread) {
  Start({Record(u"beta", 0), Record(u"alpha")}, kThreadIPC);
  EXPECT_EQ((Texts{u"List:alpha,beta", u"FirstReady"}), listener_->journal().Names());
  for (const JournalEntry& e : listener_->journal().Entries()) {
    EXPECT_EQ(host_.ThreadId(kThreadIPC), e.thread_id);
  }
  ComPtr<IStringList> installed;
  ASSERT_EQ(S_OK, mgr_->GetInstalledExtensions(installed.ReleaseAndGetAddressOf()));
  EXPECT_EQ((Texts{u"alpha", u"beta"}), Items(installed.Get()));
}

TEST_F(ExtensionMgrTest, FirstStartWithoutDatabaseOrBuiltInSetAnnouncesNothing) {
  testing_support::LogCapture log;
  Start({}, kThreadUI, /*database=*/false, /*events=*/0);
  EXPECT_TRUE(listener_->journal().Entries().empty());
  EXPECT_TRUE(log.Contains(u"extKvt: Begin copy from install dir sync"));
  halcy::ScopedBstr directory;
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionDataDirectory(directory.Receive()));
}

TEST_F(ExtensionMgrTest, WithoutTheBrowsersServicesTheManagerStillStartsEmpty) {
  for (const IID iid : {Logic::IDatabaseService::kIID, Logic::IStatisticsService::kIID,
                        Logic::ISkinService::kIID, Logic::IVersionService::kIID}) {
    host_.ReplaceService(iid, nullptr);
  }
  Start({Record(u"alpha")});
  EXPECT_EQ((Texts{u"List:", u"FirstReady"}), listener_->journal().Names());
}

TEST_F(ExtensionMgrTest, FirstStartRunsTheConverterThenSeedsFromTheBuiltInSet) {
  WriteConverter("printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/converter_args.txt\"\n");
  const std::string built_in = env_.browser_dir() + "/resource/userdata/localextensions";
  std::filesystem::create_directories(built_in);
  testing_support::WriteFileOrDie(
      built_in + "/extdb_v2.json",
      StoreText({Record(u"alpha"), Record(u"beta", 0, 3), Record(u"gamma", 2)}));
  testing_support::WriteFileOrDie(built_in + "/localextensionversion.json",
                                  "{\"dbversion\":\"3\",\"dataversion\":\"20261206\"}");
  Start({}, kThreadUI, /*database=*/false);
  std::u16string root;
  ASSERT_TRUE(Logic::GetDataRoot(&root));
  EXPECT_EQ("--action=convert\n--type=extension\n--dir=" +
                halcy::Utf16ToUtf8(root + u"SysData\\localextensions") + "\n",
            testing_support::ReadFileOrEmpty(env_.browser_dir() + "/converter_args.txt"));
  EXPECT_EQ((Texts{u"List:alpha,beta,gamma", u"FirstReady"}), listener_->journal().Names());
  // Start-up records the installed set with the versions of the built-in set.
  EXPECT_EQ(
      std::vector<std::string>{"{\"category\":\"UserAction\",\"key\":\"UserExtensionState\","
                               "\"kind\":2,\"properties\":{\"version\":\"6.5.1.2\",\"client\":"
                               "\"browser\",\"DBVersion\":\"3\",\"DataVersion\":\"20261206\","
                               "\"ExtID_alpha\":\"enabled\",\"ExtID_beta\":\"disabled\","
                               "\"ExtID_gamma\":\"enabled\"}}"},
      StatisticsLines());
  EXPECT_EQ(DataDirectoryText(), host_.services().skin_service()->DirectoryOf(u"extskin:"));
}

TEST_F(ExtensionMgrTest, AgentAndStateLookupsFindOnlyInstalledExtensions) {
  Start({Record(u"alpha")});
  LONG state = -1;
  halcy::ScopedBstr alpha(u"alpha"), missing(u"missing");
  EXPECT_FALSE(Agent(u"missing"));
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionAgent(alpha.Get(), nullptr));
  EXPECT_EQ(S_FALSE, mgr_->GetInstalledExtensions(nullptr));
  ASSERT_EQ(S_OK, mgr_->SetExtensionStateValue(alpha.Get(), 0));
  Agent(u"alpha")->GetState(&state);
  EXPECT_EQ(0, state);
  EXPECT_EQ(0, StoredRecords().at(u"alpha").state);
  EXPECT_EQ(S_FALSE, mgr_->SetExtensionStateValue(missing.Get(), 0));
}

TEST_F(ExtensionMgrTest, UrlAndSinkLookupsMatchTheBaseAddressIgnoringCase) {
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
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), url.Get()));
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  EXPECT_EQ(u"alpha", id.View());
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 3, id.Receive(), nullptr));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(2, 1, id.Receive(), nullptr));
}

TEST_F(ExtensionMgrTest, CachedListIsLoadedWithoutIncompleteRecordsAndSavedBackWhole) {
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
  ASSERT_EQ(S_OK, mgr_->SaveCachedExtensionList());  // what was loaded, saved again
  EXPECT_EQ((Texts{u"ext_good"}), entry(u"ext_list"));
  EXPECT_EQ((Texts{u"good", u"2", u"1", u"hcextdbpath/good", u"{\"name\":\"G\"}"}),
            entry(u"ext_good"));
}

TEST(ExtensionDbTest, OnlyJsonPathsGiveAWrapper) {
  const std::pair<const char16_t*, bool> cases[] = {
      {u"a\\db.json", true}, {u"A.JSON", true},  {u".json", true},
      {u"json", false},      {u"db.txt", false},
  };
  for (const auto& [path, wrapper] : cases) {
    EXPECT_EQ(wrapper, Logic::CExtensionDB::Create(path) != nullptr) << halcy::Utf16ToUtf8(path);
  }
}

using halcy::ScopedBstr;
using testing_support::LogCapture;
using testing_support::LogLine;
using RoutingTest = RoutingFixture;

// The receivers that saw `command`, in order.
Texts ReceiversOf(Journal& journal, const std::u16string& command) {
  Texts receivers;
  for (const JournalEntry& entry : journal.Entries()) {
    if (entry.name == command) receivers.push_back(entry.receiver);
  }
  return receivers;
}

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

TEST_F(RoutingTest, EachCallReachesTheCoreElseTheLibraryWithItsTextsExactly) {
  Start({RoutedExtension(u"bkp", true), RoutedExtension(u"lib", false)});
  AddCore(u"bkp", kThreadIPC);
  impl()->AddPendingLibraryRequest(u"req-1", u"ext-target", 0x100000002LL);
  std::deque<ScopedBstr> texts;
  auto b = [&texts](const char16_t* text) { return texts.emplace_back(text).Get(); };
  const std::u16string guide = u"extension.response.ui.showguide";
  const std::pair<std::function<HRESULT()>, std::u16string> cases[] = {
      {[&] { return mgr_->SendToExtension(b(u"bkp"), 3, b(u"tab"), b(u"{\"c\":1}"), 4, 5); },
       u"hcbrowser.extension.notify { \"result\":\"ok\", \"content\":{\"eventname\":\"extension."
       u"invoke.fe.toLibAsync\", \"eventdetails\":{\"fecmd\":{\"c\":1}, \"fecmdContext\":\"3, tab, "
       u"4, 5\"}}}"},
      {[&] { return mgr_->SendToExtension(b(u"lib"), 1, b(u"t"), b(u"[1]"), 2, -3); },
       u"0x07000011 s:lib n:0 s:extension.invoke.fe.toLibAsync s:{\"fecmd\":[1], "
       u"\"fecmdContext\":\"1, t, 2, -3\"} n:0"},
      {[&] { return mgr_->DeliverToExtension(b(u"bkp"), b(guide.c_str()), b(u"{}")); },
       guide + u" {}"},
      {[&] { return mgr_->DeliverToExtension(b(u"lib"), b(guide.c_str()), b(u"{}")); },
       u"0x07000011 s:lib n:0 s:extension.response.ui.showguide s:{} n:0"},
      {[&] { return mgr_->ForwardToDllHost(b(u"a"), -5, b(u"b"), b(u"c"), 0x7FFFFFFF, -1); },
       u"0x07000003 s:a n:-5 s:b s:c n:2147483647 n:-1"},
      {[&] { return mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{\"r\":1}")); },
       u"0x0700000A s:ext-target n:4294967298 n:-3 s:{\"r\":1}"},
  };
  for (const auto& [call, expected] : cases) {
    ASSERT_EQ(S_OK, call()) << halcy::Utf16ToUtf8(expected);
    ASSERT_TRUE(host_.WaitIdle());
    const JournalEntry got = journal_->Entries().back();
    EXPECT_EQ(expected, journal_->Texts(got.receiver).back());
    // A core hears it on its own thread; the DLL host's messages are decoded in full.
    EXPECT_EQ(got.receiver == u"dll" ? got.thread_id : host_.ThreadId(kThreadIPC), got.thread_id);
  }
  // A request is answered once.
  EXPECT_EQ(S_FALSE, mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{}")));
  // An empty DLL-host slot fails the calls that need it.
  impl()->dll_host().Set(nullptr);
  LogCapture log;
  EXPECT_EQ(E_FAIL, mgr_->ForwardToDllHost(b(u"a"), 1, b(u"a"), b(u"a"), 2, 3));
  EXPECT_EQ(E_FAIL, mgr_->SendToDllHost(new IPC::CMessage(false, 0x07000007)));
  ASSERT_EQ(2u, log.LinesWithTag(u"extMgr;").size());
  EXPECT_EQ(32, log.LinesWithTag(u"extMgr;")[1].level);
  EXPECT_EQ(u"extMgr: no extension DLL host, message 0x07000007 dropped",
            log.LinesWithTag(u"extMgr;")[1].text);
  EXPECT_EQ(std::size(cases), journal_->Entries().size());  // one receipt for each call
}

TEST_F(RoutingTest, NamedEventReachesItsListenersByOwnerOrHandleAndAlwaysTheDllHost) {
  Start({RoutedExtension(u"ev-a", true), RoutedExtension(u"ev-b", true)});
  AddCore(u"ev-a", kThreadUI);
  AddCore(u"ev-b", kThreadUI, 77);
  ScopedBstr a(u"ev-a"), event(u"history.changed"), empty(u""), details(u"{\"n\":2}");
  ASSERT_EQ(S_OK, mgr_->AddBkpEventListener(a.Get(), event.Get(), 5, 0));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, mgr_->RegisterBkpEventListener(event.Get(), 0, 0, 77, 9));  // by its handle
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), empty.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  // Removing ev-a's registration by value leaves ev-b; details travel unchanged.
  ASSERT_EQ(S_OK, mgr_->RemoveEventListeners(a.Get(), event.Get(), 5));
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), details.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  // Every registration of an owner goes at once.
  ASSERT_EQ(S_OK, mgr_->AddBkpEventListener(a.Get(), event.Get(), 7, 0));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, mgr_->RemoveEventListeners(a.Get(), empty.Get(), -1));
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), empty.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  const std::u16string none = u"hcbrowser.extension.notify { \"result\":\"ok\", \"content\":\"\"}";
  EXPECT_EQ(Texts{none}, journal_->Texts(u"core:ev-a"));
  EXPECT_EQ((Texts{none, u"hcbrowser.extension.notify { \"result\":\"ok\", \"content\":{\"n\":2}}",
                   none}),
            journal_->Texts(u"core:ev-b"));
  // The DLL host hears every event.
  EXPECT_EQ((Texts{u"0x07000008 s:history.changed s:", u"0x07000008 s:history.changed s:{\"n\":2}",
                   u"0x07000008 s:history.changed s:"}),
            journal_->Texts(u"dll"));
}

TEST_F(RoutingTest, ResponseToFrontEndLooksInTableAThenBAndRunsOnTheRegisteringThread) {
  Start({});
  ScopedBstr ext(u"fe-ext"), key(u"k1"), found;
  host_.RunOn(kThreadUI, [&] { mgr_->RegisterFESinkB(ext.Get(), 21, 22, key.Get()); });
  host_.RunOn(kThreadIPC, [&] { mgr_->RegisterFESinkA(ext.Get(), 11, 12, key.Get()); });
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(11, 12, found.Receive(), nullptr));  // table A only
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(21, 22, found.Receive(), nullptr));
  EXPECT_EQ(S_FALSE,
            impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.x", u"{1}"));
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k3", u"extension.response.fe.z", u""));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), key.Get(), 11));  // table A's entry, by value
  EXPECT_EQ(S_FALSE, impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.w", u""));
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), ScopedBstr(u"").Get(), -1));  // all of the owner
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k1", u"c", u""));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(
      (Texts{u"extension.response.fe.x {1} fe-ext 11,12", u"extension.response.fe.w fe-ext 21,22"}),
      journal_->Texts(u"fe"));
  EXPECT_EQ(host_.ThreadId(kThreadIPC), journal_->EntriesOf(u"fe")[0].thread_id);
  EXPECT_EQ(host_.ThreadId(kThreadUI), journal_->EntriesOf(u"fe")[1].thread_id);
}

TEST_F(RoutingTest, HostsAreAskedInOrderUntilOneTakesItOnTheManagerThread) {
  Start({RoutedExtension(u"cd-a", true, u"[\"utility\"]")});
  AddCmdHost(u"h1", E_NOTIMPL);
  AddCmdHost(u"h2", S_FALSE);
  AddCmdHost(u"h3", E_FAIL);  // a failure also lets the search go on
  EXPECT_EQ(S_FALSE, Receive(u"cd-a", u"extension.invoke.utility.log"));
  EXPECT_EQ((Texts{u"h1", u"h2", u"h3"}), ReceiversOf(*journal_, u"extension.invoke.utility.log"));
  AddCmdHost(u"h4", S_OK);
  AddCmdHost(u"h5", S_OK);
  ScopedBstr id(u"cd-a"), command(u"extension.invoke.utility.geturl"), args(u"{\"x\":1}");
  ASSERT_EQ(S_OK, mgr_->ProcessBPCommand(id.Get(), command.Get(), args.Get(), 99));
  ASSERT_TRUE(journal_->WaitFor(7));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((Texts{u"h1", u"h2", u"h3", u"h4"}),
            ReceiversOf(*journal_, u"extension.invoke.utility.geturl"));
  EXPECT_EQ(u"extension.invoke.utility.geturl {\"x\":1} cd-a 99,0", journal_->Texts(u"h4")[0]);
  EXPECT_EQ(host_.ThreadId(kThreadExtensionManager), journal_->EntriesOf(u"h4")[0].thread_id);
}

TEST_F(RoutingTest, PermissionGateDecidesWhoSeesTheCommand) {
  Start({RoutedExtension(u"pg-none", true, u"[]"),
         RoutedExtension(u"pg-util", true, u"[\"Utility\"]")});
  AddCmdHost(u"h1", S_OK);
  const std::tuple<std::u16string, std::u16string, HRESULT> cases[] = {
      {u"pg-none", u"extension.invoke.utility.geturl", kAccessDenied},
      {u"pg-none", u"EXTENSION.INVOKE.UTILITY.GETTITLE", kAccessDenied},
      {u"pg-util", u"extension.invoke.utility.getversion", S_OK},
      {u"pg-none", u"extension.invoke.utility.log", S_OK},    // in no group
      {u"", u"extension.invoke.utility.getallpages", S_OK}};  // the front end
  for (const auto& [extension_id, command, expected] : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(command));
    LogCapture log;
    EXPECT_EQ(expected, Receive(extension_id, command));
    EXPECT_EQ(expected == S_OK, !ReceiversOf(*journal_, command).empty());
    std::vector<LogLine> denied = log.LinesWithTag(u"extCloud;");
    std::erase_if(denied, [](const LogLine& l) { return !l.text.starts_with(u"ext:permission"); });
    ASSERT_EQ(expected == S_OK ? 0u : 1u, denied.size());
    if (denied.empty()) continue;
    EXPECT_EQ(64, denied[0].level);
    EXPECT_EQ(u"ext:permission denied, extid:" + extension_id + u", command:" + command,
              denied[0].text);
  }
}

TEST_F(RoutingTest, WithoutAPermissionManagerGroupedCommandsAreRefused) {
  Start({RoutedExtension(u"pg-nomgr", true, u"[\"utility\"]")});
  host_.ReplaceService(Logic::IPermissionMgr::kIID, nullptr);
  AddCmdHost(u"h1", S_OK);
  EXPECT_EQ(kAccessDenied, Receive(u"pg-nomgr", u"extension.invoke.utility.geturl"));
  EXPECT_EQ(S_OK, Receive(u"pg-nomgr", u"extension.invoke.utility.log"));
}

TEST_F(RoutingTest, EnforceZeroInTheConfigFileTurnsTheGateOff) {
  testing_support::WriteFileOrDie(env_.browser_dir() + "/extensionMgrConfig.ini",
                                  "[Permission]\r\nEnforce = 0\r\n");
  Start({RoutedExtension(u"pg-off", true, u"[]")});
  AddCmdHost(u"h1", S_OK);
  EXPECT_EQ(S_OK, Receive(u"pg-off", u"extension.invoke.utility.geturl"));
}

}  // namespace
}  // namespace extension_testing
