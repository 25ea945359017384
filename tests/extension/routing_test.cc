// Message routing through the manager's COM interface: the route cache, background pages and
// native libraries, the front-end envelope, broadcasts, named events, the front-end sink
// tables and the messages for the extension-DLL host, decoded parameter by parameter.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/routing_test_util.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;

using RoutingTest = RoutingFixture;

TEST_F(RoutingTest, EachCallReachesTheCoreElseTheLibraryWithItsTextsExactly) {
  Start({RoutedExtension(u"bkp", true), RoutedExtension(u"lib", false)});
  AddCore(u"bkp", kThreadIPC);
  impl()->AddPendingLibraryRequest(u"req-1", u"ext-target", 0x100000002LL);
  std::deque<ScopedBstr> texts;
  auto b = [&texts](const char16_t* text) { return texts.emplace_back(text).Get(); };
  const std::u16string notify = u"hcbrowser.extension.notify";
  const std::u16string invoke = u"extension.invoke.fe.toLibAsync";
  const std::u16string guide = u"extension.response.ui.showguide";
  const struct {
    const char* label;
    std::function<HRESULT()> call;
    std::u16string receiver, name, payload;  // the payload is "" for a message decoded in full
    std::vector<IpcParam> params;
  } cases[] = {
      {"front end to a page",
       [&] { return mgr_->SendToExtension(b(u"bkp"), 3, b(u"tab"), b(u"{\"c\":\"go\"}"), 4, 5); },
       u"core:bkp",
       notify,
       u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"extension.invoke.fe.toLibAsync\", "
       u"\"eventdetails\":{\"fecmd\":{\"c\":\"go\"}, \"fecmdContext\":\"3, tab, 4, 5\"}}}",
       {}},
      {"front end to a library",
       [&] { return mgr_->SendToExtension(b(u"lib"), 1, b(u"t"), b(u"[1]"), 2, 3); },
       u"dll",
       u"0x07000011",
       u"",
       {Str(u"lib"), Num(0), Str(invoke), Str(u"{\"fecmd\":[1], \"fecmdContext\":\"1, t, 2, 3\"}"),
        Num(0)}},
      {"front end text command",
       [&] { return mgr_->SendToExtension(b(u"lib"), 0, b(u""), b(u"\"x\""), -4, 0); },
       u"dll",
       u"0x07000011",
       u"",
       {Str(u"lib"), Num(0), Str(invoke),
        Str(u"{\"fecmd\":\"x\", \"fecmdContext\":\"0, , -4, 0\"}"), Num(0)}},
      {"delivery to a page",
       [&] { return mgr_->DeliverToExtension(b(u"bkp"), b(guide.c_str()), b(u"{\"s\":\"1\"}")); },
       u"core:bkp",
       guide,
       u"{\"s\":\"1\"}",
       {}},
      {"delivery to a library",
       [&] { return mgr_->DeliverToExtension(b(u"lib"), b(guide.c_str()), b(u"{\"s\":\"1\"}")); },
       u"dll",
       u"0x07000011",
       u"",
       {Str(u"lib"), Num(0), Str(guide), Str(u"{\"s\":\"1\"}"), Num(0)}},
      {"slot 42 to a page",
       [&] {
         return mgr_->SendToExtensionInternal(b(u"bkp"), b(u"ext.r.geturl"), b(u"{\"url\":1}"));
       },
       u"core:bkp",
       notify,
       u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"ext.r.geturl\", "
       u"\"eventdetails\":{\"url\":1}}}",
       {}},
      {"forwarded call widens numbers to 64 bits",
       [&] {
         return mgr_->ForwardToDllHost(b(u"alpha"), -5, b(u"beta"), b(u"gamma"), 0x7FFFFFFF,
                                       -2147483647 - 1);
       },
       u"dll",
       u"0x07000003",
       u"",
       {Str(u"alpha"), Num(-5), Str(u"beta"), Str(u"gamma"), Num(0x7FFFFFFF), Num(-2147483648LL)}},
      {"pending request answered",
       [&] { return mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{\"r\":1}")); },
       u"dll",
       u"0x0700000A",
       u"",
       {Str(u"ext-target"), Num(0x100000002LL), Num(-3), Str(u"{\"r\":1}")}},
      {"slot 35 hands the message over",
       [&] { return mgr_->SendToDllHost(new IPC::CMessage(false, 0x07000007)); },
       u"dll",
       u"0x07000007",
       u"",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
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
  // A request is answered once; an unknown one not at all.
  EXPECT_EQ(S_FALSE, mgr_->AnswerLibraryRequest(b(u"req-1"), -3, b(u"{}")));
  EXPECT_EQ(S_FALSE, mgr_->AnswerLibraryRequest(b(u"req-2"), 1, b(u"{}")));
  EXPECT_EQ(E_FAIL, host_.RunOn(kThreadExtensionManager, [&] {
    return impl()->SendToExtensionInternal(u"not-installed", u"c", u"{}", 0);
  }));
  // An empty DLL-host slot fails the calls that need it.
  impl()->dll_host().Set(nullptr);
  EXPECT_EQ(E_FAIL, mgr_->ForwardToDllHost(b(u"a"), 1, b(u"a"), b(u"a"), 2, 3));
  EXPECT_EQ(E_FAIL, mgr_->SendToDllHost(new IPC::CMessage(false, 0x07000007)));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(std::size(cases), journal_->Entries().size());
}

TEST_F(RoutingTest, RouteStaysNativeAfterABackgroundPageAppears) {
  Start({RoutedExtension(u"cache-lib", false), RoutedExtension(u"cache-bkp", true)});
  ASSERT_EQ(S_OK, impl()->PostToExtension(u"cache-lib", u"first", u"1", 11));
  ASSERT_TRUE(journal_->WaitFor(1));
  // The extension gains a background page and a core; its route was decided already.
  ComPtr<Logic::IExtensionAgent> agent;
  ScopedBstr id(u"cache-lib"),
      manifest(u"{\"name\":\"cache-lib\",\"background_page\":\"bg.html\",\"permissions\":[]}");
  ASSERT_EQ(S_OK, mgr_->GetExtensionAgent(id.Get(), agent.ReleaseAndGetAddressOf()));
  ASSERT_TRUE(agent);
  ASSERT_EQ(S_OK, agent->SetManifest(manifest.Get()));
  AddCore(u"cache-lib", kThreadUI);
  AddCore(u"cache-bkp", kThreadUI);
  ASSERT_EQ(S_OK, impl()->PostToExtension(u"cache-lib", u"second", u"2", 12));
  // The control: an extension that had its page from the start is served by its core.
  ASSERT_EQ(S_OK, impl()->PostToExtension(u"cache-bkp", u"third", u"3", 13));
  ASSERT_TRUE(host_.WaitIdle());
  const std::vector<JournalEntry> dll = journal_->EntriesOf(u"dll");
  ASSERT_EQ(2u, dll.size());
  EXPECT_EQ((std::vector<IpcParam>{Str(u"cache-lib"), Num(11), Str(u"first"), Str(u"1"), Num(0)}),
            dll[0].params);
  EXPECT_EQ((std::vector<IpcParam>{Str(u"cache-lib"), Num(12), Str(u"second"), Str(u"2"), Num(0)}),
            dll[1].params);
  EXPECT_TRUE(journal_->EntriesOf(u"core:cache-lib").empty());
  ASSERT_EQ(1u, journal_->EntriesOf(u"core:cache-bkp").size());
}

// --- Broadcasts and named events ---

TEST_F(RoutingTest, BroadcastReachesDllHostFirstThenEveryCore) {
  Start({RoutedExtension(u"bc-a", true), RoutedExtension(u"bc-b", true)});
  // One core lives on the manager's own thread and is called inline: had the cores been
  // served first, it would come before the DLL host.
  AddCore(u"bc-a", kThreadExtensionManager);
  AddCore(u"bc-b", kThreadUI);
  ScopedBstr name(u"extension.notify.tab.create"), payload(u"{\"tab_id\":\"7\"}");
  ASSERT_EQ(S_OK, mgr_->BroadcastBrowserNotifyMsg(name.Get(), payload.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  const std::vector<JournalEntry> entries = journal_->Entries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(u"dll", entries[0].receiver);
  EXPECT_EQ(u"0x07000012", entries[0].name);
  EXPECT_EQ(
      (std::vector<IpcParam>{Str(u"extension.notify.tab.create"), Str(u"{\"tab_id\":\"7\"}")}),
      entries[0].params);
  EXPECT_EQ(host_.ThreadId(kThreadExtensionManager), entries[0].thread_id);
  const std::u16string expected =
      u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"extension.notify.tab.create\", "
      u"\"eventdetails\":{\"tab_id\":\"7\"}}}";
  for (const std::u16string receiver : {u"core:bc-a", u"core:bc-b"}) {
    const std::vector<JournalEntry> got = journal_->EntriesOf(receiver);
    ASSERT_EQ(1u, got.size()) << halcy::Utf16ToUtf8(receiver);
    EXPECT_EQ(u"hcbrowser.extension.notify", got[0].name);
    EXPECT_EQ(expected, got[0].payload);
  }
  EXPECT_EQ(host_.ThreadId(kThreadUI), journal_->EntriesOf(u"core:bc-b")[0].thread_id);
  // The module's own broadcast takes the same path.
  ASSERT_EQ(S_OK, impl()->BroadcastBrowserNotification(u"n", u""));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<IpcParam>{Str(u"n"), Str(u"")}), journal_->EntriesOf(u"dll")[1].params);
}

TEST_F(RoutingTest, NamedEventSendsEmptyPayloadAsEmptyString) {
  Start({RoutedExtension(u"ev-a", true), RoutedExtension(u"ev-b", true)});
  AddCore(u"ev-a", kThreadUI);
  AddCore(u"ev-b", kThreadUI, 77);
  ScopedBstr a(u"ev-a"), event(u"history.changed"), other(u"other.event"), empty(u""),
      details(u"{\"n\":2}");
  ASSERT_EQ(S_OK, mgr_->AddBkpEventListener(a.Get(), event.Get(), 5, 0));
  ASSERT_TRUE(host_.WaitIdle());
  // The second page registers by its core's routing handle.
  ASSERT_EQ(S_OK, mgr_->RegisterBkpEventListener(event.Get(), 0, 0, 77, 9));
  ASSERT_EQ(S_OK, mgr_->AddBkpEventListener(a.Get(), other.Get(), 6, 0));
  ASSERT_TRUE(host_.WaitIdle());

  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), empty.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  for (const std::u16string receiver : {u"core:ev-a", u"core:ev-b"}) {
    const std::vector<JournalEntry> got = journal_->EntriesOf(receiver);
    ASSERT_EQ(1u, got.size()) << halcy::Utf16ToUtf8(receiver);
    EXPECT_EQ(u"hcbrowser.extension.notify", got[0].name);
    EXPECT_EQ(u"{ \"result\":\"ok\", \"content\":\"\"}", got[0].payload);
  }
  std::vector<JournalEntry> dll = journal_->EntriesOf(u"dll");
  ASSERT_EQ(1u, dll.size());
  EXPECT_EQ(u"0x07000008", dll[0].name);
  EXPECT_EQ((std::vector<IpcParam>{Str(u"history.changed"), Str(u"")}), dll[0].params);

  // Removing ev-a's registration by value leaves ev-b; details travel unchanged.
  ASSERT_EQ(S_OK, mgr_->RemoveEventListeners(a.Get(), event.Get(), 5));
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), details.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, journal_->EntriesOf(u"core:ev-a").size());
  const std::vector<JournalEntry> b = journal_->EntriesOf(u"core:ev-b");
  ASSERT_EQ(2u, b.size());
  EXPECT_EQ(u"{ \"result\":\"ok\", \"content\":{\"n\":2}}", b[1].payload);

  // Every registration of an owner goes at once; the DLL host still hears the events.
  ASSERT_EQ(S_OK, mgr_->AddBkpEventListener(a.Get(), event.Get(), 7, 0));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, mgr_->RemoveEventListeners(a.Get(), empty.Get(), -1));
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(event.Get(), empty.Get()));
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(other.Get(), empty.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, journal_->EntriesOf(u"core:ev-a").size());
  EXPECT_EQ(3u, journal_->EntriesOf(u"core:ev-b").size());
  EXPECT_EQ(4u, journal_->EntriesOf(u"dll").size());
}

// --- The front end ---

TEST_F(RoutingTest, ResponseToFrontEndLooksInTableAThenBAndIsTraced) {
  Start({});
  ScopedBstr ext(u"fe-ext"), key(u"k1"), other(u"k2");
  // Table B registers on the UI thread, table A on the IPC thread: each sink is called on the
  // thread that registered it.
  host_.RunOn(kThreadUI,
              [&] { EXPECT_EQ(S_OK, mgr_->RegisterFESinkB(ext.Get(), 21, 22, key.Get())); });
  host_.RunOn(kThreadIPC,
              [&] { EXPECT_EQ(S_OK, mgr_->RegisterFESinkA(ext.Get(), 11, 12, key.Get())); });
  host_.RunOn(kThreadUI, [&] { mgr_->RegisterFESinkB(ext.Get(), 31, 32, other.Get()); });
  ScopedBstr found;
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(11, 12, found.Receive(), nullptr));  // table A only
  EXPECT_EQ(u"fe-ext", found.View());
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(21, 22, found.Receive(), nullptr));

  testing_support::LogCapture log;
  EXPECT_EQ(S_FALSE,
            impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.x", u"{1}"));
  EXPECT_EQ(S_FALSE,
            impl()->SendResponseToFE(u"fe-ext", u"k2", u"extension.response.fe.y", u"{2}"));
  // No registration for this key: nothing is sent and the answer is S_OK.
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k3", u"extension.response.fe.z", u"{3}"));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<JournalEntry> fe = journal_->EntriesOf(u"fe");
  ASSERT_EQ(2u, fe.size());
  const JournalEntry& first = fe[0].number1 == 11 ? fe[0] : fe[1];
  const JournalEntry& second = fe[0].number1 == 11 ? fe[1] : fe[0];
  EXPECT_EQ(11, first.number1);
  EXPECT_EQ(12, first.number2);
  EXPECT_EQ(u"extension.response.fe.x", first.name);
  EXPECT_EQ(u"{1}", first.payload);
  EXPECT_EQ(u"fe-ext", first.extension_id);
  EXPECT_EQ(host_.ThreadId(kThreadIPC), first.thread_id);
  EXPECT_EQ(31, second.number1);
  EXPECT_EQ(host_.ThreadId(kThreadUI), second.thread_id);
  const std::vector<testing_support::LogLine> traced = log.LinesWithTag(u"extCloud;");
  ASSERT_FALSE(traced.empty());
  EXPECT_EQ(37, traced[0].level);
  EXPECT_EQ(u"ext:rsend to fe, extid:fe-ext, command:extension.response.fe.x, args: {1}\n",
            traced[0].text);

  // Table A's entry removed by value: table B answers for the key now.
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), key.Get(), 11));
  EXPECT_EQ(S_FALSE, impl()->SendResponseToFE(u"fe-ext", u"k1", u"extension.response.fe.w", u""));
  ASSERT_TRUE(host_.WaitIdle());
  fe = journal_->EntriesOf(u"fe");
  ASSERT_EQ(3u, fe.size());
  EXPECT_EQ(21, fe[2].number1);
  EXPECT_EQ(22, fe[2].number2);

  // Everything of the owner goes.
  ScopedBstr none(u"");
  ASSERT_EQ(S_OK, mgr_->RemoveFESinks(ext.Get(), none.Get(), -1));
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k1", u"c", u""));
  EXPECT_EQ(S_OK, impl()->SendResponseToFE(u"fe-ext", u"k2", u"c", u""));
}

TEST_F(RoutingTest, UsageActionIsRecordedWithItsProperties) {
  Start({});
  ScopedBstr category(u"UserAction"), key(u"Toolbar"), action(u"click"), style(u"big"), name(u"n1"),
      empty(u"");
  ASSERT_EQ(S_OK, mgr_->RecordUsageAction(category.Get(), key.Get(), action.Get(), style.Get(),
                                          name.Get()));
  ASSERT_EQ(S_OK, mgr_->RecordUsageAction(category.Get(), key.Get(), action.Get(), style.Get(),
                                          empty.Get()));
  std::vector<RecordedAction> actions = statistics_->Actions(u"UserAction");
  ASSERT_EQ(3u, actions.size());  // after the start-up's record
  EXPECT_EQ(u"Toolbar", actions[1].key);
  EXPECT_EQ(2, actions[1].kind);
  EXPECT_EQ((Properties{{u"Action", u"click"}, {u"Style", u"big"}, {u"Name", u"n1"}}),
            actions[1].properties);
  EXPECT_EQ((Properties{{u"Action", u"click"}, {u"Style", u"big"}}), actions[2].properties);
}

}  // namespace
}  // namespace extension_testing
