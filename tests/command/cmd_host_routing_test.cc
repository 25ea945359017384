// The common command host inside a started extension manager: commands arrive through the
// manager's receive path, and replies, front-end answers and the browser version take the
// manager's real routes (background core, extension-DLL host, front-end sink).
#include <gtest/gtest.h>

#include "command/co_ext_common_cmd_host.h"
#include "extension/extension_agent.h"
#include "extension/routing_test_util.h"
#include "host/browser_model.h"
#include "platform/bstr.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

class CmdHostRoutingTest : public RoutingFixture {
 protected:
  // Starts the manager with `records` and registers a common command host attached to it.
  void StartWithHost(const std::vector<StoreRecord>& records) {
    Start(records);
    cmd_host_ = halcy::MakeComObject<Logic::CCoExtCommonCmdHost>();
    ASSERT_EQ(S_OK, cmd_host_->SetExtensionMgr(impl()));
    ASSERT_EQ(S_OK, mgr_->RegisterCmdHost(cmd_host_.Get()));
    host::CBrowserModel* model = host_.services().browser_model();
    ASSERT_EQ(S_OK, model->AddFrame(1));
    ASSERT_EQ(S_OK, model->AddTab(1, 11, u"http://one.example/a?b=\"c\"", u"One"));
  }

  ComPtr<Logic::CCoExtCommonCmdHost> cmd_host_;
};

TEST_F(CmdHostRoutingTest, GetUrlReplyReachesTheBackgroundPage) {
  StartWithHost({RoutedExtension(u"rt-bkp", true, u"[\"utility\"]")});
  ComPtr<RecordingCore> core = AddCore(u"rt-bkp", Thread::kThreadUI);
  EXPECT_EQ(S_OK, Receive(u"rt-bkp", u"extension.invoke.utility.geturl", u"{\"tab_id\":11}", 8));
  ASSERT_TRUE(journal_->WaitFor(1));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<JournalEntry> delivered = journal_->EntriesOf(u"core:rt-bkp");
  ASSERT_EQ(1u, delivered.size());
  EXPECT_EQ(u"hcbrowser.extension.notify", delivered[0].name);
  EXPECT_EQ(
      u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"extension.response.utility.geturl\", "
      u"\"eventdetails\":{\r\n\"url\":\"http://one.example/a?b=\"c\"\"}}}",
      delivered[0].payload);
}

TEST_F(CmdHostRoutingTest, ReplyToANativeLibraryGoesOverIpc) {
  StartWithHost({RoutedExtension(u"rt-lib", false, u"[\"utility\"]")});
  EXPECT_EQ(S_OK, Receive(u"rt-lib", u"extension.invoke.utility.getversion", u"{}", 9));
  ASSERT_TRUE(journal_->WaitFor(1));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<JournalEntry> dll = journal_->EntriesOf(u"dll");
  ASSERT_EQ(1u, dll.size());
  EXPECT_EQ(u"0x07000011", dll[0].name);
  ASSERT_EQ(5u, dll[0].params.size());
  EXPECT_EQ(Str(u"rt-lib"), dll[0].params[0]);
  EXPECT_EQ(Num(9), dll[0].params[1]);  // the request context comes back unchanged
  EXPECT_EQ(Str(u"extension.response.utility.getversion"), dll[0].params[2]);
  // The browser version the manager read at start-up, and the extension's own version.
  const std::u16string expected =
      u"{\r\n\"browserversion\":\"" + impl()->GetBrowserVersion() + u"\",\"version\":\"1.0\"}";
  EXPECT_EQ(Str(expected), dll[0].params[3]);
}

TEST_F(CmdHostRoutingTest, FrontEndAnswerReachesTheSinkNamedByTheContext) {
  StartWithHost({RoutedExtension(u"rt-fe", true)});
  halcy::ScopedBstr ext(u"rt-fe"), key(u"req-7");
  host_.RunOn(Thread::kThreadUI,
              [&] { EXPECT_EQ(S_OK, mgr_->RegisterFESinkA(ext.Get(), 31, 32, key.Get())); });
  EXPECT_EQ(S_OK, Receive(u"rt-fe", u"extension.response.fe.toLibAsync",
                          u"{\"fecmdContext\":\"5, req-7, 6, 7\",\"result\":[1,\"two\"]}"));
  ASSERT_TRUE(journal_->WaitFor(1));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<JournalEntry> fe = journal_->EntriesOf(u"fe");
  ASSERT_EQ(1u, fe.size());
  EXPECT_EQ(u"extension.response.fe.toLibAsync", fe[0].name);
  EXPECT_EQ(u"[1,\"two\"]", fe[0].payload);
  EXPECT_EQ(31, fe[0].number1);
  EXPECT_EQ(32, fe[0].number2);
}

// The host's uninstall goes through the real port to the manager, which deletes the caller
// itself and nothing else.
TEST_F(CmdHostRoutingTest, UninstallRemovesTheCallingExtension) {
  StartWithHost({RoutedExtension(u"rt-gone", true, u"[\"utility\"]"),
                 RoutedExtension(u"rt-stays", true, u"[\"utility\"]")});
  EXPECT_EQ(S_OK,
            Receive(u"rt-gone", u"extension.invoke.utility.uninstall", u"{\"id\":\"rt-stays\"}"));
  ASSERT_TRUE(host_.WaitIdle());
  auto installed = [&](const std::u16string& id) {
    halcy::ScopedBstr bstr(id);
    ComPtr<Logic::IExtensionAgent> agent;
    host_.RunOn(Thread::kThreadExtensionManager,
                [&] { mgr_->GetExtensionAgent(bstr.Get(), agent.ReleaseAndGetAddressOf()); });
    return agent != nullptr;
  };
  EXPECT_FALSE(installed(u"rt-gone"));
  EXPECT_TRUE(installed(u"rt-stays"));
}

}  // namespace
}  // namespace extension_testing
