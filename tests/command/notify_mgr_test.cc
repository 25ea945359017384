// The notification manager: the event names and payload bytes it hands the extension
// manager, and the order of its calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command/extension_notify_mgr.h"
#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_test_util.h"
#include "ipc/ipc_message.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Logic::CExtensionNotifyMgr;
using Logic::IExtensionMgr;
using Calls = std::vector<std::u16string>;

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

// A manager that records, as one line each, the calls the notification manager makes.
class RecordingExtensionMgr : public Logic::CCoExtensionMgr {
 public:
  Calls calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  HRESULT BroadcastBrowserNotifyMsg(BSTR name, BSTR payload) override {
    return Record(u"broadcast " + Text(name) + u" " + Text(payload));
  }
  HRESULT SendToDllHost(IPC::CMessage* message) override {
    std::unique_ptr<IPC::CMessage> owned(message);  // the call owns the message
    return Record(halcy::StringPrintf(u"ipc 0x%08X routing %u size %u sync %d", message->type(),
                                      message->routing_id(), message->payload_size(),
                                      message->is_sync()));
  }
  HRESULT SendToExtensionInternal(BSTR id, BSTR command, BSTR arguments) override {
    return Record(u"to " + Text(id) + u" " + Text(command) + u" " + Text(arguments));
  }
  HRESULT RegisterAllAccelerators() override { return Record(u"accelerators"); }

 private:
  HRESULT Record(std::u16string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    return S_OK;
  }
  std::mutex mutex_;
  Calls calls_;  // Guarded by mutex_
};

// With the sibling modules in the browser directory the notification manager looks for the
// extension manager, as in the browser.
void WriteSiblings(const std::string& dir) {
  for (const char16_t* module : Logic::kSiblingModules) {
    testing_support::WriteFileOrDie(dir + "/" + halcy::Utf16ToUtf8(module + 1), "");
  }
  Logic::ResetPathCachesForTesting();
}

using extension_testing::Arg;

class NotifyMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteSiblings(env_.browser_dir());
    host_.ReplaceService(IExtensionMgr::kIID, static_cast<IExtensionMgr*>(mgr_.Get()));
  }

  extension_testing::BrowserEnvironment env_;
  testing_support::TestHost host_;
  ComPtr<RecordingExtensionMgr> mgr_ = halcy::MakeComObject<RecordingExtensionMgr>();
  ComPtr<CExtensionNotifyMgr> notify_ = halcy::MakeComObject<CExtensionNotifyMgr>();
};

struct EventCase {
  std::function<HRESULT(Logic::IExtensionNotifyMgr*)> raise;
  std::u16string call;  // the event name after "extension.notify." and the payload
};

// Every broadcast event, each raised once.
const EventCase kEvents[] = {
    {[](auto* n) { return n->NotifyUrlChange(Arg(u"http://a/"), Arg(u"http://b/?q=1"), 7); },
     u"utility.urlchange {\r\n\"old\":\"http://a/\",\"new\":\"http://b/?q=1\",\"tab_id\":\"7\"}"},
    {[](auto* n) { return n->NotifyNavigate(Arg(u"http://x.test/p")); },
     u"utility.navigate {\r\n\"url\":\"http://x.test/p\"}"},
    {[](auto* n) { return n->NotifySwitchTab(11, Arg(u"a\"b"), -254, Arg(u"c\\d"), 3); },
     u"utility.switchtab {\r\n\"old\":\"11\",\"old_url\":\"a\\\"b\",\"new\":\"-254\","
     u"\"new_url\":\"c\\\\d\",\"flag\":\"3\"}"},
    {[](auto* n) { return n->NotifyCloseTab(12, 2, nullptr, 0); },
     u"utility.closetab {\r\n\"tab_id\":\"12\",\"frame_id\":\"2\",\"url\":\"\","
     u"\"retaincore\":\"0\"}"},
    {[](auto* n) { return n->NotifyAddTab(13, 1); },
     u"utility.addtab {\r\n\"tab_id\":\"13\",\"frame_id\":\"1\"}"},
    {[](auto* n) { return n->NotifyDocumentComplete(14, Arg(u"http://d/")); },
     u"utility.documentcomplete {\r\n\"tab_id\":\"14\",\"url\":\"http://d/\"}"},
    {[](auto* n) { return n->NotifyRefresh(-1, Arg(u"http://e/")); },
     u"utility.refresh {\r\n\"tab_id\":\"-1\",\"url\":\"http://e/\"}"},
    // Login texts are not escaped.
    {[](auto* n) { return n->NotifyLogin(Arg(u"7\\"), Arg(u"a \"b\""), Arg(u"c=1; d"), 9); },
     u"login.login {\r\n\"userid\":\"7\\\",\"user\":\"a \"b\"\",\"cookie\":\"c=1; d\","
     u"\"firstlogin\":\"1\"}"},
    {[](auto* n) { return n->NotifyLogout(Arg(u"42"), Arg(u"ann")); },
     u"login.logout {\r\n\"userid\":\"42\",\"user\":\"ann\"}"},
    {[](auto* n) { return n->NotifySwitchUser(Arg(u"\"x\""), Arg(u"y\tz")); },
     u"login.switch {\r\n\"old_user\":\"\"x\"\",\"new_user\":\"y\tz\"}"},
    {[](auto* n) { return n->NotifyFrameFullScreen(3, 1); },
     u"utility.isframefullscreen {\r\n\"frame_id\":\"3\",\"status\":\"1\"}"},
    {[](auto* n) { return n->NotifyFrameClose(2147483647); },
     u"ui.frameclose {\r\n\"frame_id\":\"2147483647\"}"},
    {[](auto* n) { return n->NotifySwitchCore(-2147483647 - 1); },
     u"utility.switchcore {\r\n\"tab_id\":\"-2147483648\"}"},
};

TEST_F(NotifyMgrTest, EachEventIsOneBroadcastWithItsExactPayload) {
  for (const EventCase& c : kEvents) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.call.substr(0, c.call.find(u' '))));
    const size_t before = mgr_->calls().size();
    EXPECT_EQ(S_OK, c.raise(notify_.Get()));
    const Calls calls = mgr_->calls();
    ASSERT_EQ(before + 1, calls.size());
    EXPECT_EQ(u"broadcast extension.notify." + c.call, calls.back());
  }
}

TEST_F(NotifyMgrTest, FrameCreateSendsIpcThenBroadcastsThenRegistersAccelerators) {
  ASSERT_EQ(S_OK, notify_->NotifyFrameCreate(4));
  EXPECT_EQ((Calls{u"ipc 0x07000007 routing 0 size 0 sync 0",
                   u"broadcast extension.notify.ui.framecreate {\r\n\"frame_id\":\"4\"}",
                   u"accelerators"}),
            mgr_->calls());
}

TEST_F(NotifyMgrTest, AcceleratorGoesToItsOwnExtensionOnly) {
  ASSERT_EQ(S_OK, notify_->NotifyAccelerator(Arg(u"ext-a"), Arg(u"{\"key\":\"Ctrl+\\\"Q\\\"\"}")));
  ASSERT_EQ(S_OK, notify_->NotifyAccelerator(Arg(u"ext-b"), Arg(u"")));
  // An agent's pressed accelerator takes the same path.
  host_.ReplaceService(Logic::IExtensionNotifyMgr::kIID,
                       static_cast<Logic::IExtensionNotifyMgr*>(notify_.Get()));
  ComPtr<Logic::CCoExtensionAgent> agent = halcy::MakeComObject<Logic::CCoExtensionAgent>();
  ASSERT_EQ(S_OK, agent->SetId(Arg(u"ext-k")));
  ASSERT_EQ(S_OK, agent->OnAcceleratorPressed());
  EXPECT_EQ((Calls{u"to ext-a extension.notify.utility.accelerator {\"key\":\"Ctrl+\\\"Q\\\"\"}",
                   u"to ext-b extension.notify.utility.accelerator ",
                   u"to ext-k extension.notify.utility.accelerator "}),
            mgr_->calls());
}

// The browser raises events from several threads at once; each must arrive whole, with its
// own values, since the manager keeps no state that calls could share.
TEST_F(NotifyMgrTest, EventsRaisedFromSeveralThreadsArriveIntact) {
  Calls expected;
  for (int n = 0; n < 400; ++n) {
    const std::u16string tab = halcy::Utf8ToUtf16(std::to_string(n));
    expected.push_back(u"broadcast extension.notify.utility.refresh {\r\n\"tab_id\":\"" + tab +
                       u"\",\"url\":\"http://t/\\\"" + tab + u"\"}");
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int n = t; n < 400; n += 4) {
        notify_->NotifyRefresh(n, Arg(u"http://t/\"" + halcy::Utf8ToUtf16(std::to_string(n))));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  Calls calls = mgr_->calls();
  std::sort(calls.begin(), calls.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, calls);
}

TEST(NotifyMgrWithoutManagerTest, WithoutSiblingModulesEventsAreDroppedAndSwitchTabFails) {
  extension_testing::BrowserEnvironment env;
  // A manager is registered, but without the sibling modules it is never asked for.
  testing_support::TestHost host;
  ComPtr<RecordingExtensionMgr> mgr = halcy::MakeComObject<RecordingExtensionMgr>();
  host.ReplaceService(IExtensionMgr::kIID, static_cast<IExtensionMgr*>(mgr.Get()));
  ComPtr<CExtensionNotifyMgr> notify = halcy::MakeComObject<CExtensionNotifyMgr>();
  for (const EventCase& c : kEvents) {
    EXPECT_EQ(c.call.starts_with(u"utility.switchtab") ? E_FAIL : S_OK, c.raise(notify.Get()));
  }
  EXPECT_EQ(S_OK, notify->NotifyFrameCreate(1));
  EXPECT_EQ(S_OK, notify->NotifyAccelerator(Arg(u"e"), Arg(u"")));
  EXPECT_TRUE(mgr->calls().empty());
}

}  // namespace
