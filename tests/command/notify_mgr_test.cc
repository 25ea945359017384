// The notification manager against a recording extension manager registered as the browser's
// IExtensionMgr service: every call it makes on the manager is recorded in order, with the
// event name and payload bytes it passed. One test runs it against the real manager, with a
// recording DLL host and background core, to see what reaches them and in which order.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command/extension_notify_mgr.h"
#include "common/paths.h"
#include "extension/bk_core.h"
#include "extension/dll_host_slot.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "ipc/ipc_message.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Logic::CExtensionNotifyMgr;
using Logic::IExtensionMgr;

// One call the notification manager made on the extension manager.
struct MgrCall {
  int slot = 0;
  std::vector<std::u16string> args;  // the BSTR arguments in order
  uint32_t ipc_type = 0;             // slot 35 only: the message handed over
  uint32_t ipc_routing_id = ~0u;
  uint32_t ipc_payload_size = ~0u;
  bool ipc_sync = true;
};

std::u16string Number(long value) { return halcy::Utf8ToUtf16(std::to_string(value)); }

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

// Records the slots the notification manager uses; any other slot is recorded as slot -1 so
// that a stray call fails the test's exact call list.
class RecordingExtensionMgr : public halcy::ComObjectRoot, public IExtensionMgr {
 public:
  HALCY_BEGIN_INTERFACES(RecordingExtensionMgr)
  HALCY_INTERFACE(RecordingExtensionMgr, IExtensionMgr)
  HALCY_END_INTERFACES()

  std::vector<MgrCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  HRESULT BroadcastBrowserNotifyMsg(BSTR message, BSTR payload) override {
    return Record({32, {Text(message), Text(payload)}});
  }
  HRESULT SendToDllHost(IPC::CMessage* message) override {
    MgrCall call{35, {}};
    if (message) {
      call.ipc_type = message->type();
      call.ipc_routing_id = message->routing_id();
      call.ipc_payload_size = message->payload_size();
      call.ipc_sync = message->is_sync();
    }
    delete message;  // the slot owns the message
    return Record(std::move(call));
  }
  HRESULT SendToExtensionInternal(BSTR extension_id, BSTR command, BSTR arguments) override {
    return Record({42, {Text(extension_id), Text(command), Text(arguments)}});
  }
  HRESULT DeliverToExtension(BSTR extension_id, BSTR command, BSTR payload) override {
    return Record({39, {Text(extension_id), Text(command), Text(payload)}});
  }
  HRESULT DispatchNamedEvent(BSTR event_name, BSTR payload) override {
    return Record({21, {Text(event_name), Text(payload)}});
  }
  HRESULT RegisterAllAccelerators() override { return Record({43, {}}); }

  // Slots the notification manager has no business calling.
#define UNEXPECTED(signature) \
  HRESULT signature override { return Record({-1, {}}); }
  UNEXPECTED(GetNextSequenceNumber(LONG*))
  UNEXPECTED(AddListener(LONG, DWORD, Logic::IExtensionMgrListener*, BOOL))
  UNEXPECTED(AddListenerOnCallingThread(IUnknown*, Logic::IExtensionMgrListener*))
  UNEXPECTED(SwitchUser())
  UNEXPECTED(UnInitialize())
  UNEXPECTED(DisableExtension(BSTR))
  UNEXPECTED(EnableExtension(BSTR))
  UNEXPECTED(DeleteExtension(BSTR))
  UNEXPECTED(GetInstalledExtensions(IStringList**))
  UNEXPECTED(GetExtensionAgent(BSTR, Logic::IExtensionAgent**))
  UNEXPECTED(GetUIExtPtMgr(Logic::IUIExtPtMgr**))
  UNEXPECTED(RegisterCmdHost(Logic::IExtCmdHost*))
  UNEXPECTED(GetExtensionAppGuild(Logic::IExtensionAppGuild**))
  UNEXPECTED(GetExternalCmdHost1(Logic::IExtCmdHost**))
  UNEXPECTED(GetExternalCmdHost2(Logic::IExtCmdHost**))
  UNEXPECTED(AnswerLibraryRequest(BSTR, LONG, BSTR))
  UNEXPECTED(FindExtensionOfSink(LONG, LONG, BSTR*, BSTR))
  UNEXPECTED(GetNamedString(BSTR, BSTR*))
  UNEXPECTED(RegisterBkpEventListener(BSTR, LONG, LONG, LONG, LONG))
  UNEXPECTED(ForwardToDllHost(BSTR, LONG, BSTR, BSTR, LONG, LONG))
  UNEXPECTED(SendToExtension(BSTR, LONG, BSTR, BSTR, LONG, LONG))
  UNEXPECTED(FindExtensionOfUrl(BSTR, BSTR*))
  UNEXPECTED(RegisterFESinkA(BSTR, LONG, LONG, BSTR))
  UNEXPECTED(RegisterFESinkB(BSTR, LONG, LONG, BSTR))
  UNEXPECTED(RemoveFESinks(BSTR, BSTR, LONG))
  UNEXPECTED(RemoveEventListeners(BSTR, BSTR, LONG))
  UNEXPECTED(GetExtensionDataDirectory(BSTR*))
  UNEXPECTED(BuildExtensionResourcePath(BSTR, BSTR, BSTR*))
  UNEXPECTED(SetExtensionStateValue(BSTR, LONG))
  UNEXPECTED(RecordUsageAction(BSTR, BSTR, BSTR, BSTR, BSTR))
  UNEXPECTED(SaveCachedExtensionList())
  UNEXPECTED(AddBkpEventListener(BSTR, BSTR, LONG, LONG))
  UNEXPECTED(ProcessBPCommand(BSTR, BSTR, BSTR, LONG))
  UNEXPECTED(RegisterPageExtension())
  UNEXPECTED(LoadCachedData())
#undef UNEXPECTED

 private:
  HRESULT Record(MgrCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    return S_OK;
  }

  std::mutex mutex_;
  std::vector<MgrCall> calls_;  // Guarded by mutex_
};

// A browser directory holding the sibling modules (or not), so that the extension-manager
// lookup is made (or skipped) as in the browser.
class BrowserDirectory {
 public:
  explicit BrowserDirectory(bool with_siblings) : env_("HALCY_BROWSER_DIR", dir_.path()) {
    if (with_siblings) {
      for (const char16_t* module : Logic::kSiblingModules) {
        testing_support::WriteFileOrDie(dir_.File(halcy::Utf16ToUtf8(module + 1)), "");
      }
    }
    Logic::ResetPathCachesForTesting();
  }
  ~BrowserDirectory() { Logic::ResetPathCachesForTesting(); }

 private:
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv env_;
};

// Puts a service back when the test ends.
class ScopedService {
 public:
  ScopedService(REFIID iid, IUnknown* service) : iid_(iid), old_(halcy::SetService(iid, service)) {}
  ~ScopedService() { halcy::SetService(iid_, old_.Get()); }

 private:
  IID iid_;
  ComPtr<IUnknown> old_;
};

class NotifyMgrTest : public ::testing::Test {
 protected:
  BrowserDirectory browser_{true};
  ComPtr<RecordingExtensionMgr> mgr_ = halcy::MakeComObject<RecordingExtensionMgr>();
  ScopedService service_{IExtensionMgr::kIID, static_cast<IExtensionMgr*>(mgr_.Get())};
  ComPtr<CExtensionNotifyMgr> notify_ = halcy::MakeComObject<CExtensionNotifyMgr>();
};

// A BSTR for the length of one call.
class Arg {
 public:
  explicit Arg(std::u16string_view text) : bstr_(text) {}
  operator BSTR() const { return bstr_.Get(); }

 private:
  halcy::ScopedBstr bstr_;
};

// ---- Each event: its name and payload bytes ----

struct EventCase {
  const char* label;
  std::function<HRESULT(Logic::IExtensionNotifyMgr*)> raise;
  std::u16string name;
  std::u16string payload;
};

TEST_F(NotifyMgrTest, EachEventIsOneBroadcastWithItsExactPayload) {
  const std::vector<EventCase> cases = {
      {"urlchange",
       [](auto* n) { return n->NotifyUrlChange(Arg(u"http://a/"), Arg(u"http://b/?q=1"), 7); },
       u"extension.notify.utility.urlchange",
       u"{\r\n\"old\":\"http://a/\",\"new\":\"http://b/?q=1\",\"tab_id\":\"7\"}"},
      {"navigate", [](auto* n) { return n->NotifyNavigate(Arg(u"http://x.test/p")); },
       u"extension.notify.utility.navigate", u"{\r\n\"url\":\"http://x.test/p\"}"},
      {"switchtab",
       [](auto* n) {
         return n->NotifySwitchTab(11, Arg(u"http://a/"), -254, Arg(u"about:blank"), 3);
       },
       u"extension.notify.utility.switchtab",
       u"{\r\n\"old\":\"11\",\"old_url\":\"http://a/"
       u"\",\"new\":\"-254\",\"new_url\":\"about:blank\","
       u"\"flag\":\"3\"}"},
      {"closetab retain 5", [](auto* n) { return n->NotifyCloseTab(12, 2, Arg(u"http://c/"), 5); },
       u"extension.notify.utility.closetab",
       u"{\r\n\"tab_id\":\"12\",\"frame_id\":\"2\",\"url\":\"http://c/\",\"retaincore\":\"1\"}"},
      {"closetab retain 0", [](auto* n) { return n->NotifyCloseTab(12, 2, nullptr, 0); },
       u"extension.notify.utility.closetab",
       u"{\r\n\"tab_id\":\"12\",\"frame_id\":\"2\",\"url\":\"\",\"retaincore\":\"0\"}"},
      {"addtab", [](auto* n) { return n->NotifyAddTab(13, 1); }, u"extension.notify.utility.addtab",
       u"{\r\n\"tab_id\":\"13\",\"frame_id\":\"1\"}"},
      {"documentcomplete", [](auto* n) { return n->NotifyDocumentComplete(14, Arg(u"http://d/")); },
       u"extension.notify.utility.documentcomplete",
       u"{\r\n\"tab_id\":\"14\",\"url\":\"http://d/\"}"},
      {"refresh", [](auto* n) { return n->NotifyRefresh(-1, Arg(u"http://e/")); },
       u"extension.notify.utility.refresh", u"{\r\n\"tab_id\":\"-1\",\"url\":\"http://e/\"}"},
      {"login first",
       [](auto* n) { return n->NotifyLogin(Arg(u"42"), Arg(u"ann"), Arg(u"c=1; d=2"), 9); },
       u"extension.notify.login.login",
       u"{\r\n\"userid\":\"42\",\"user\":\"ann\",\"cookie\":\"c=1; d=2\",\"firstlogin\":\"1\"}"},
      {"login again", [](auto* n) { return n->NotifyLogin(Arg(u"42"), Arg(u"ann"), nullptr, 0); },
       u"extension.notify.login.login",
       u"{\r\n\"userid\":\"42\",\"user\":\"ann\",\"cookie\":\"\",\"firstlogin\":\"0\"}"},
      {"logout", [](auto* n) { return n->NotifyLogout(Arg(u"42"), Arg(u"ann")); },
       u"extension.notify.login.logout", u"{\r\n\"userid\":\"42\",\"user\":\"ann\"}"},
      {"switch user", [](auto* n) { return n->NotifySwitchUser(Arg(u"ann"), Arg(u"bob")); },
       u"extension.notify.login.switch", u"{\r\n\"old_user\":\"ann\",\"new_user\":\"bob\"}"},
      {"fullscreen", [](auto* n) { return n->NotifyFrameFullScreen(3, 1); },
       u"extension.notify.utility.isframefullscreen", u"{\r\n\"frame_id\":\"3\",\"status\":\"1\"}"},
      {"frameclose", [](auto* n) { return n->NotifyFrameClose(2147483647); },
       u"extension.notify.ui.frameclose", u"{\r\n\"frame_id\":\"2147483647\"}"},
      {"switchcore", [](auto* n) { return n->NotifySwitchCore(-2147483647 - 1); },
       u"extension.notify.utility.switchcore", u"{\r\n\"tab_id\":\"-2147483648\"}"},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.label);
    const size_t before = mgr_->Calls().size();
    EXPECT_EQ(S_OK, c.raise(notify_.Get()));
    const std::vector<MgrCall> calls = mgr_->Calls();
    ASSERT_EQ(before + 1, calls.size());
    EXPECT_EQ(32, calls.back().slot);
    EXPECT_EQ((std::vector<std::u16string>{c.name, c.payload}), calls.back().args);
  }
}

// ---- URL escaping ----

struct UrlCase {
  std::u16string url;
  std::u16string sent;
};

TEST_F(NotifyMgrTest, UrlsAreSentAsJsonStringBodies) {
  const std::vector<UrlCase> cases = {
      {u"http://a/?q=\"word\"", u"http://a/?q=\\\"word\\\""},
      {u"file:///C:\\dir\\x.html", u"file:///C:\\\\dir\\\\x.html"},
      {u"http://a/\tb", u"http://a/\\tb"},
      {u"\b\f\n\r", u"\\b\\f\\n\\r"},
      {u"a\x01z\x1f", u"a\\u0001z\\u001F"},
      {u"http://a/b/c?x=\u00e9\u4e2d", u"http://a/b/c?x=\u00e9\u4e2d"},  // solidus, non-ASCII kept
      {u"", u""},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.url));
    ASSERT_EQ(S_OK, notify_->NotifyNavigate(Arg(c.url)));
    EXPECT_EQ(u"{\r\n\"url\":\"" + c.sent + u"\"}", mgr_->Calls().back().args.at(1));
  }
}

TEST_F(NotifyMgrTest, EveryUrlOfAnEventIsEscapedInItsOwnPlace) {
  ASSERT_EQ(S_OK, notify_->NotifySwitchTab(1, Arg(u"a\"b"), 2, Arg(u"c\\d"), 0));
  EXPECT_EQ(
      u"{\r\n\"old\":\"1\",\"old_url\":\"a\\\"b\",\"new\":\"2\",\"new_url\":\"c\\\\d\","
      u"\"flag\":\"0\"}",
      mgr_->Calls().back().args.at(1));
  ASSERT_EQ(S_OK, notify_->NotifyUrlChange(Arg(u"x\ty"), nullptr, 5));
  EXPECT_EQ(u"{\r\n\"old\":\"x\\ty\",\"new\":\"\",\"tab_id\":\"5\"}",
            mgr_->Calls().back().args.at(1));
}

TEST_F(NotifyMgrTest, LoginTextsAreNotEscaped) {
  ASSERT_EQ(S_OK, notify_->NotifyLogin(Arg(u"7\\"), Arg(u"a \"b\""), Arg(u"k=\"v\""), 1));
  EXPECT_EQ(
      u"{\r\n\"userid\":\"7\\\",\"user\":\"a \"b\"\",\"cookie\":\"k=\"v\"\","
      u"\"firstlogin\":\"1\"}",
      mgr_->Calls().back().args.at(1));
  ASSERT_EQ(S_OK, notify_->NotifySwitchUser(Arg(u"\"x\""), Arg(u"y\tz")));
  EXPECT_EQ(u"{\r\n\"old_user\":\"\"x\"\",\"new_user\":\"y\tz\"}", mgr_->Calls().back().args.at(1));
}

// ---- Login log lines ----

TEST_F(NotifyMgrTest, LoginEventsWriteTheirLogLines) {
  testing_support::LogCapture log;
  ASSERT_EQ(S_OK, notify_->NotifyLogin(Arg(u"42"), Arg(u"ann"), Arg(u"c=1"), 1));
  ASSERT_EQ(S_OK, notify_->NotifyLogout(Arg(u"42"), Arg(u"ann")));
  ASSERT_EQ(S_OK, notify_->NotifySwitchUser(Arg(u"ann"), Arg(u"bob")));
  ASSERT_EQ(S_OK, notify_->NotifyLogin(nullptr, Arg(u"\"q\""), nullptr, 0));
  std::vector<std::u16string> texts;
  for (const testing_support::LogLine& line : log.LinesWithTag(u"oldlog;")) {
    EXPECT_EQ(5, line.level) << halcy::Utf16ToUtf8(line.text);
    texts.push_back(line.text);
  }
  EXPECT_EQ((std::vector<std::u16string>{
                u"CExtensionNotifyMgr::NotifyLogin bsUserid=42 bsUser=ann bsInfo=c=1 bFirstLogin=1",
                u"CExtensionNotifyMgr::NotifyLogout bsUserid=42 bsUser=ann",
                u"CExtensionNotifyMgr::NotifySiwtchUser bsOldUser=ann bsNewUser=bob",
                u"CExtensionNotifyMgr::NotifyLogin bsUserid= bsUser=\"q\" bsInfo= bFirstLogin=0",
            }),
            texts);
}

// ---- Frame creation ----

TEST_F(NotifyMgrTest, FrameCreateSendsIpcThenBroadcastsThenRegistersAccelerators) {
  ASSERT_EQ(S_OK, notify_->NotifyFrameCreate(4));
  const std::vector<MgrCall> calls = mgr_->Calls();
  ASSERT_EQ(3u, calls.size());

  EXPECT_EQ(35, calls[0].slot);
  EXPECT_EQ(0x07000007u, calls[0].ipc_type);
  EXPECT_EQ(0u, calls[0].ipc_routing_id);
  EXPECT_EQ(0u, calls[0].ipc_payload_size);
  EXPECT_FALSE(calls[0].ipc_sync);

  EXPECT_EQ(32, calls[1].slot);
  EXPECT_EQ((std::vector<std::u16string>{u"extension.notify.ui.framecreate",
                                         u"{\r\n\"frame_id\":\"4\"}"}),
            calls[1].args);

  EXPECT_EQ(43, calls[2].slot);
}

// ---- Accelerator ----

TEST_F(NotifyMgrTest, AcceleratorGoesToItsOwnExtensionOnly) {
  const std::u16string args = u"{\"key\":\"Ctrl+\\\"Q\\\"\"}";
  ASSERT_EQ(S_OK, notify_->NotifyAccelerator(Arg(u"ext-a"), Arg(args)));
  ASSERT_EQ(S_OK, notify_->NotifyAccelerator(Arg(u"ext-b"), Arg(u"")));
  const std::vector<MgrCall> calls = mgr_->Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(42, calls[0].slot);
  EXPECT_EQ((std::vector<std::u16string>{u"ext-a", u"extension.notify.utility.accelerator", args}),
            calls[0].args);
  EXPECT_EQ(42, calls[1].slot);
  EXPECT_EQ((std::vector<std::u16string>{u"ext-b", u"extension.notify.utility.accelerator", u""}),
            calls[1].args);
}

TEST_F(NotifyMgrTest, PressedAcceleratorOfAnAgentReachesItsExtension) {
  ScopedService notify_service{Logic::IExtensionNotifyMgr::kIID,
                               static_cast<Logic::IExtensionNotifyMgr*>(notify_.Get())};
  ComPtr<Logic::CCoExtensionAgent> agent = halcy::MakeComObject<Logic::CCoExtensionAgent>();
  ASSERT_EQ(S_OK, agent->SetId(Arg(u"ext-k")));
  ASSERT_EQ(S_OK, agent->OnAcceleratorPressed());
  const std::vector<MgrCall> calls = mgr_->Calls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(42, calls[0].slot);
  EXPECT_EQ((std::vector<std::u16string>{u"ext-k", u"extension.notify.utility.accelerator", u""}),
            calls[0].args);
}

// ---- No extension manager ----

class NotifyMgrWithoutManagerTest : public ::testing::Test {
 protected:
  void RaiseEveryEvent(std::vector<HRESULT>* results) {
    auto* n = notify_.Get();
    *results = {n->NotifyUrlChange(Arg(u"a"), Arg(u"b"), 1),
                n->NotifyNavigate(Arg(u"a")),
                n->NotifyCloseTab(1, 1, Arg(u"a"), 1),
                n->NotifyAddTab(1, 1),
                n->NotifyDocumentComplete(1, Arg(u"a")),
                n->NotifyRefresh(1, Arg(u"a")),
                n->NotifyLogin(Arg(u"1"), Arg(u"u"), Arg(u"c"), 1),
                n->NotifyLogout(Arg(u"1"), Arg(u"u")),
                n->NotifySwitchUser(Arg(u"u"), Arg(u"v")),
                n->NotifyFrameFullScreen(1, 1),
                n->NotifyFrameCreate(1),
                n->NotifyFrameClose(1),
                n->NotifyAccelerator(Arg(u"e"), Arg(u"")),
                n->NotifySwitchCore(1)};
  }

  ComPtr<CExtensionNotifyMgr> notify_ = halcy::MakeComObject<CExtensionNotifyMgr>();
};

TEST_F(NotifyMgrWithoutManagerTest, WithoutSiblingModulesEventsAreDroppedAndSwitchTabFails) {
  BrowserDirectory browser(false);
  // A manager is registered, but without the sibling modules it is never asked for.
  ComPtr<RecordingExtensionMgr> mgr = halcy::MakeComObject<RecordingExtensionMgr>();
  ScopedService service(IExtensionMgr::kIID, static_cast<IExtensionMgr*>(mgr.Get()));
  std::vector<HRESULT> results;
  RaiseEveryEvent(&results);
  for (HRESULT hr : results) EXPECT_EQ(S_OK, hr);
  EXPECT_EQ(E_FAIL, notify_->NotifySwitchTab(1, Arg(u"a"), 2, Arg(u"b"), 0));
  EXPECT_TRUE(mgr->Calls().empty());
}

TEST_F(NotifyMgrWithoutManagerTest, MissingServiceIsLoggedOncePerCall) {
  BrowserDirectory browser(true);
  ScopedService service(IExtensionMgr::kIID, nullptr);
  testing_support::LogCapture log;
  EXPECT_EQ(E_FAIL, notify_->NotifySwitchTab(1, Arg(u"a"), 2, Arg(u"b"), 0));
  EXPECT_EQ(S_OK, notify_->NotifyFrameCreate(1));
  std::vector<testing_support::LogLine> failures;
  for (const testing_support::LogLine& line : log.LinesWithTag(u"oldlog;")) {
    if (line.text.starts_with(u"GetService(IExtensionMgr) failed: ")) failures.push_back(line);
  }
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(64, failures[0].level);
}

// ---- Threads ----

// The browser raises events from several threads at once; each must arrive whole, with its
// own values, since the manager keeps no state that calls could share.
TEST_F(NotifyMgrTest, EventsRaisedFromSeveralThreadsArriveIntact) {
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        const LONG tab = t * 1000 + i;
        notify_->NotifyRefresh(tab, Arg(u"http://t/\"" + Number(tab)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(size_t{kThreads * kEventsPerThread}, mgr_->Calls().size());
  std::vector<bool> seen(kThreads * 1000, false);
  for (const MgrCall& call : mgr_->Calls()) {
    ASSERT_EQ(32, call.slot);
    const std::u16string& payload = call.args.at(1);
    const size_t start = payload.find(u"\"tab_id\":\"") + 10;
    const LONG tab =
        std::stol(halcy::Utf16ToUtf8(payload.substr(start, payload.find(u'"', start) - start)));
    EXPECT_EQ(
        u"{\r\n\"tab_id\":\"" + Number(tab) + u"\",\"url\":\"http://t/\\\"" + Number(tab) + u"\"}",
        payload);
    ASSERT_FALSE(seen.at(tab)) << tab;
    seen[tab] = true;
  }
}

// ---- Through the real extension manager ----

// What the DLL host and a background core receive, one text per delivery, in arrival order.
class Deliveries {
 public:
  void Add(std::u16string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(text));
    changed_.notify_all();
  }
  // The first `count` deliveries once they have arrived (fewer after ten seconds).
  std::vector<std::u16string> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return texts_.size() >= count; });
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::u16string> texts_;  // Guarded by mutex_
};

// Records "dll <type> <strings...>" for each message; the messages here carry strings only.
class DllRecorder : public Logic::IDllHostSender {
 public:
  explicit DllRecorder(std::shared_ptr<Deliveries> out) : out_(std::move(out)) {}
  bool Send(IPC::CMessage* message) override {
    std::unique_ptr<IPC::CMessage> owned(message);
    char type[16];
    std::snprintf(type, sizeof(type), "0x%08X", message->type());
    std::u16string text = u"dll " + halcy::Utf8ToUtf16(type);
    const char* it = nullptr;
    std::u16string value;
    while (message->ReadString(&it, &value)) text += u" " + value;
    out_->Add(std::move(text));
    return true;
  }

 private:
  std::shared_ptr<Deliveries> out_;
};

class RecordingCore : public halcy::ComObjectRoot, public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(RecordingCore)
  HALCY_INTERFACE(RecordingCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()

  std::shared_ptr<Deliveries> out;  // Set before the core is entered
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    out->Add(u"core " + Text(name) + u" " + Text(payload));
    return S_OK;
  }
};

TEST(NotifyMgrWithRealManagerTest, FrameCreateReachesTheDllHostBeforeTheBackgroundPages) {
  BrowserDirectory browser(true);
  testing_support::TestHost host;
  ComPtr<Logic::CCoExtensionMgr> mgr = halcy::MakeComObject<Logic::CCoExtensionMgr>();
  ASSERT_TRUE(mgr);
  host.ReplaceService(IExtensionMgr::kIID, static_cast<IExtensionMgr*>(mgr.Get()));
  auto out = std::make_shared<Deliveries>();
  mgr->impl()->dll_host().Set(std::make_shared<DllRecorder>(out));
  ComPtr<RecordingCore> core = halcy::MakeComObject<RecordingCore>();
  core->out = out;
  const DWORD ui = host.ThreadId(Thread::kThreadUI);
  host.RunOn(Thread::kThreadExtensionManager, [&] {
    mgr->impl()->InsertBKCoreInfoInExtMgrThread(ComPtr<Logic::IExtBackgroundCore>(core.Get()), ui,
                                                0, 0, u"ext-a", 0);
  });

  ComPtr<CExtensionNotifyMgr> notify = halcy::MakeComObject<CExtensionNotifyMgr>();
  host.RunOn(Thread::kThreadUI, [&] { EXPECT_EQ(S_OK, notify->NotifyFrameCreate(5)); });
  const std::u16string payload = u"{\r\n\"frame_id\":\"5\"}";
  EXPECT_EQ((std::vector<std::u16string>{
                u"dll 0x07000007",
                u"dll 0x07000012 extension.notify.ui.framecreate " + payload,
                u"core hcbrowser.extension.notify { \"result\":\"ok\", \"content\":"
                u"{\"eventname\":\"extension.notify.ui.framecreate\", \"eventdetails\":" +
                    payload + u"}}",
            }),
            out->WaitFor(3));
  ASSERT_TRUE(host.WaitIdle());
  mgr->impl()->dll_host().Set(nullptr);
}

}  // namespace
