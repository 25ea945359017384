// Message routing through the manager: background pages and native libraries, the front-end
// envelope, named events, the front-end sink tables and the messages for the extension-DLL host
// (decoded parameter by parameter); and commands from extensions: the trace, the command hosts
// in order and the permission gate with its switch in extensionMgrConfig.ini.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "extension/routing_test_util.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using testing_support::LogCapture;
using testing_support::LogLine;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;
using Params = std::vector<IpcParam>;
using Texts = std::vector<std::u16string>;
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
constexpr char16_t kNotify[] = u"hcbrowser.extension.notify";

TEST_F(RoutingTest, EachCallReachesTheCoreElseTheLibraryWithItsTextsExactly) {
  Start({RoutedExtension(u"bkp", true), RoutedExtension(u"lib", false)});
  AddCore(u"bkp", kThreadIPC);
  impl()->AddPendingLibraryRequest(u"req-1", u"ext-target", 0x100000002LL);
  std::deque<ScopedBstr> texts;
  auto b = [&texts](const char16_t* text) { return texts.emplace_back(text).Get(); };
  const std::u16string guide = u"extension.response.ui.showguide";
  const struct {
    std::function<HRESULT()> call;
    std::u16string receiver, name, payload;  // the payload is "" for a message decoded in full
    Params params;
  } cases[] = {
      {[&] { return mgr_->SendToExtension(b(u"bkp"), 3, b(u"tab"), b(u"{\"c\":1}"), 4, 5); },
       u"core:bkp", kNotify,
       u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"extension.invoke.fe.toLibAsync\", "
       u"\"eventdetails\":{\"fecmd\":{\"c\":1}, \"fecmdContext\":\"3, tab, 4, 5\"}}}",
       {}},
      {[&] { return mgr_->SendToExtension(b(u"lib"), 1, b(u"t"), b(u"[1]"), 2, -3); }, u"dll",
       u"0x07000011", u"",
       {Str(u"lib"), Num(0), Str(u"extension.invoke.fe.toLibAsync"),
        Str(u"{\"fecmd\":[1], \"fecmdContext\":\"1, t, 2, -3\"}"), Num(0)}},
      {[&] { return mgr_->DeliverToExtension(b(u"bkp"), b(guide.c_str()), b(u"{\"s\":1}")); },
       u"core:bkp", guide, u"{\"s\":1}", {}},
      {[&] { return mgr_->DeliverToExtension(b(u"lib"), b(guide.c_str()), b(u"{\"s\":1}")); },
       u"dll", u"0x07000011", u"", {Str(u"lib"), Num(0), Str(guide), Str(u"{\"s\":1}"), Num(0)}},
      {[&] { return mgr_->ForwardToDllHost(b(u"a"), -5, b(u"b"), b(u"c"), 0x7FFFFFFF, -1); },
       u"dll", u"0x07000003", u"",
       {Str(u"a"), Num(-5), Str(u"b"), Str(u"c"), Num(0x7FFFFFFF), Num(-1)}},
      {[&] { return mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{\"r\":1}")); }, u"dll",
       u"0x0700000A", u"", {Str(u"ext-target"), Num(0x100000002LL), Num(-3), Str(u"{\"r\":1}")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.name));
    const size_t before = journal_->Entries().size();
    ASSERT_EQ(S_OK, c.call());
    ASSERT_TRUE(host_.WaitIdle());
    const std::vector<JournalEntry> entries = journal_->Entries();
    ASSERT_EQ(before + 1, entries.size());
    const JournalEntry& got = entries.back();
    EXPECT_EQ(c.receiver, got.receiver);
    EXPECT_EQ(c.name, got.name);
    EXPECT_EQ(c.payload, got.payload);
    EXPECT_EQ(c.params, got.params);
    if (got.receiver != u"dll") {
      EXPECT_EQ(host_.ThreadId(kThreadIPC), got.thread_id);
    }
  }
  // A request is answered once; an extension not installed has no route.
  EXPECT_EQ(S_FALSE, mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{}")));
  EXPECT_EQ(E_FAIL, host_.RunOn(kThreadExtensionManager, [&] {
    return impl()->SendToExtensionInternal(u"not-installed", u"c", u"{}", 0);
  }));
  // An empty DLL-host slot fails the calls that need it.
  impl()->dll_host().Set(nullptr);
  LogCapture log;
  EXPECT_EQ(E_FAIL, mgr_->ForwardToDllHost(b(u"a"), 1, b(u"a"), b(u"a"), 2, 3));
  EXPECT_EQ(E_FAIL, mgr_->SendToDllHost(new IPC::CMessage(false, 0x07000007)));
  const std::vector<LogLine> dropped = log.LinesWithTag(u"extMgr;");
  ASSERT_EQ(2u, dropped.size());
  EXPECT_EQ(32, dropped[1].level);
  EXPECT_EQ(u"extMgr: no extension DLL host, message 0x07000007 dropped", dropped[1].text);
  EXPECT_EQ(std::size(cases), journal_->Entries().size());
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
  const std::u16string none = u"{ \"result\":\"ok\", \"content\":\"\"}";
  auto payloads = [&](const std::u16string& receiver) {
    Texts texts;
    for (const JournalEntry& e : journal_->EntriesOf(receiver)) texts.push_back(e.payload);
    return texts;
  };
  EXPECT_EQ(Texts{none}, payloads(u"core:ev-a"));
  EXPECT_EQ((Texts{none, u"{ \"result\":\"ok\", \"content\":{\"n\":2}}", none}),
            payloads(u"core:ev-b"));
  // The DLL host hears every event.
  const std::vector<JournalEntry> dll = journal_->EntriesOf(u"dll");
  ASSERT_EQ(3u, dll.size());
  EXPECT_EQ(u"0x07000008", dll[1].name);
  EXPECT_EQ((Params{Str(u"history.changed"), Str(u"{\"n\":2}")}), dll[1].params);
}

TEST_F(RoutingTest, ResponseToFrontEndLooksInTableAThenBOnTheRegisteringThreadAndIsTraced) {
  Start({});
  ScopedBstr ext(u"fe-ext"), key(u"k1"), found;
  host_.RunOn(kThreadUI, [&] { mgr_->RegisterFESinkB(ext.Get(), 21, 22, key.Get()); });
  host_.RunOn(kThreadIPC, [&] { mgr_->RegisterFESinkA(ext.Get(), 11, 12, key.Get()); });
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(11, 12, found.Receive(), nullptr));  // table A only
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(21, 22, found.Receive(), nullptr));
  LogCapture log;
  EXPECT_EQ(S_FALSE, impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.x", u"{1}"));
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k3", u"extension.response.fe.z", u""));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), key.Get(), 11));  // table A's entry, by value
  EXPECT_EQ(S_FALSE, impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.w", u""));
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), ScopedBstr(u"").Get(), -1));  // all of the owner
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k1", u"c", u""));
  ASSERT_TRUE(host_.WaitIdle());
  const std::vector<JournalEntry> fe = journal_->EntriesOf(u"fe");
  ASSERT_EQ(2u, fe.size());
  EXPECT_EQ((Texts{u"fe-ext", u"extension.response.fe.x", u"{1}"}),
            (Texts{fe[0].extension_id, fe[0].name, fe[0].payload}));
  EXPECT_EQ((std::vector<LONG>{11, 12, 21, 22}),
            (std::vector<LONG>{fe[0].number1, fe[0].number2, fe[1].number1, fe[1].number2}));
  EXPECT_EQ(host_.ThreadId(kThreadIPC), fe[0].thread_id);
  EXPECT_EQ(host_.ThreadId(kThreadUI), fe[1].thread_id);
  const std::vector<LogLine> traced = log.LinesWithTag(u"extCloud;");
  ASSERT_FALSE(traced.empty());
  EXPECT_EQ(37, traced[0].level);
  EXPECT_EQ(u"ext:rsend to fe, extid:fe-ext, command:extension.response.fe.x, args: {1}\n",
            traced[0].text);
}

using CommandDispatchTest = RoutingFixture;

TEST_F(CommandDispatchTest, HostsAreAskedInOrderUntilOneTakesItOnTheManagerThreadAndTraced) {
  Start({RoutedExtension(u"cd-a", true, u"[\"utility\"]")});
  AddCmdHost(u"h1", E_NOTIMPL);
  AddCmdHost(u"h2", S_FALSE);
  AddCmdHost(u"h3", E_FAIL);  // a failure also lets the search go on
  EXPECT_EQ(S_FALSE, Receive(u"cd-a", u"extension.invoke.utility.log"));
  EXPECT_EQ((Texts{u"h1", u"h2", u"h3"}), ReceiversOf(*journal_, u"extension.invoke.utility.log"));
  AddCmdHost(u"h4", S_OK);
  AddCmdHost(u"h5", S_OK);
  LogCapture log;
  ScopedBstr id(u"cd-a"), command(u"extension.invoke.utility.geturl"), args(u"{\"x\":1}");
  ASSERT_EQ(S_OK, mgr_->ProcessBPCommand(id.Get(), command.Get(), args.Get(), 99));
  ASSERT_TRUE(journal_->WaitFor(7));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((Texts{u"h1", u"h2", u"h3", u"h4"}), ReceiversOf(*journal_, u"extension.invoke.utility.geturl"));
  const JournalEntry entry = journal_->Entries().back();
  EXPECT_EQ((Texts{u"cd-a", u"{\"x\":1}"}), (Texts{entry.extension_id, entry.payload}));
  EXPECT_EQ(99, entry.number1);
  EXPECT_EQ(host_.ThreadId(kThreadExtensionManager), entry.thread_id);
  const std::vector<LogLine> lines = log.LinesWithTag(u"extCloud;");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(37, lines[0].level);
  EXPECT_EQ(u"ext:receive from extension, extid:cd-a, command:extension.invoke.utility.geturl, "
            u"args: {\"x\":1}\n",
            lines[0].text);
}

TEST_F(CommandDispatchTest, PermissionGateDecidesWhoSeesTheCommand) {
  Start({RoutedExtension(u"pg-none", true, u"[]"),
         RoutedExtension(u"pg-util", true, u"[\"Utility\"]")});
  AddCmdHost(u"h1", S_OK);
  const std::tuple<std::u16string, std::u16string, HRESULT> cases[] = {
      {u"pg-none", u"extension.invoke.utility.geturl", kAccessDenied},
      {u"pg-none", u"EXTENSION.INVOKE.UTILITY.GETTITLE", kAccessDenied},
      {u"pg-util", u"extension.invoke.utility.getversion", S_OK},
      {u"pg-none", u"extension.invoke.utility.log", S_OK},   // in no group
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

TEST_F(CommandDispatchTest, WithoutAPermissionManagerGroupedCommandsAreRefused) {
  Start({RoutedExtension(u"pg-nomgr", true, u"[\"utility\"]")});
  host_.ReplaceService(Logic::IPermissionMgr::kIID, nullptr);
  AddCmdHost(u"h1", S_OK);
  EXPECT_EQ(kAccessDenied, Receive(u"pg-nomgr", u"extension.invoke.utility.geturl"));
  EXPECT_EQ(S_OK, Receive(u"pg-nomgr", u"extension.invoke.utility.log"));
}

TEST_F(CommandDispatchTest, EnforceInTheConfigFileTurnsTheGateOffAndOnAtTheNextSwitch) {
  const std::string ini = env_.browser_dir() + "/extensionMgrConfig.ini";
  testing_support::WriteFileOrDie(ini, "[Permission]\r\nEnforce = 0\r\n");
  Start({RoutedExtension(u"pg-off", true, u"[]")});
  AddCmdHost(u"h1", S_OK);
  EXPECT_EQ(S_OK, Receive(u"pg-off", u"extension.invoke.utility.geturl"));
  testing_support::WriteFileOrDie(ini, "[permission]\nenforce=1\n");
  SwitchAndWait(mgr_.Get(), listener_.Get(), 4);
  EXPECT_EQ(kAccessDenied, Receive(u"pg-off", u"extension.invoke.utility.getversion"));
}

}  // namespace
}  // namespace extension_testing
