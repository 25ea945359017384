// The common command host: dispatch and its threads, the reply rule, the query handlers
// against the host's browser model, and an uninstall through the real manager.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "command/cmd_host_fixture.h"
#include "command/co_ext_common_cmd_host.h"
#include "command/extension_mgr_port.h"
#include "extension/extension_agent.h"
#include "extension/routing_test_util.h"
#include "extension/ui_ext_pt_mgr.h"
#include "host/browser_model.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/thread_gate.h"
#include "thread/thread_service.h"

namespace command_testing {
namespace {

TEST_F(CmdHostTest, NamesOutsideTheTablesAreNotOurs) {
  for (const char16_t* name :
       {u"", u"extension.invoke.utility.geturL", u"extension.invoke.utility.getfavicoN",
        u"extension.invoke.ui.showwindow "}) {
    EXPECT_EQ(E_NOTIMPL, Command(name, u"{}"));
  }
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.showwindow", u"{}"));  // posted, whatever it does
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

// The UI thread is busy: HandleCommand answers without waiting for it, a sync command replies
// at once, and the queued handlers later reply in posting order from the UI thread, holding
// the host alive after the manager let go of it.
TEST_F(CmdHostTest, UIHandlersRunLaterInPostingOrderOnTheUIThreadAndHoldTheHost) {
  AddTwoFrames();
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);
    for (LONG context = 1; context <= 20; ++context) {
      ASSERT_EQ(S_OK, Command(u"extension.invoke.utility.geturl", u"{\"tab_id\":21}", context));
    }
    EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":11}", 0));
    ASSERT_EQ(1u, port_->replies().size());
    EXPECT_EQ(host_.ThreadId(Thread::kThreadExtensionManager), port_->replies()[0].thread_id);
    cmd_host_ = nullptr;
  }
  ASSERT_TRUE(port_->WaitForReplies(21));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(21u, replies.size());
  for (LONG i = 1; i <= 20; ++i) {
    EXPECT_EQ(i, replies[i].request_context);
    EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), replies[i].thread_id);
  }
  EXPECT_EQ(u"extension.response.utility.geturl", replies[1].command);
  EXPECT_EQ(u"{\r\n\"url\":\"http://two.example/a\"}", replies[1].arguments);
  EXPECT_EQ(u"ext1", replies[1].extension_id);
}

TEST_F(CmdHostTest, PostReplyDropsFailures) {
  const std::pair<HRESULT, bool> cases[] = {{S_OK, true},      {E_INVALIDARG, true},
                                            {E_POINTER, true}, {E_FAIL, false},
                                            {S_FALSE, false},  {E_NOTIMPL, false}};
  for (const auto& [status, sent] : cases) {
    const size_t before = port_->replies().size();
    cmd_host_->impl().PostReply(u"ext9", status, u"extension.response.x.y", u"{}", 3);
    ASSERT_EQ(before + (sent ? 1 : 0), port_->replies().size()) << status;
  }
}

TEST_F(CmdHostTest, WithoutAManagerLogAndUninstallStillSucceed) {
  cmd_host_->impl().SetExtensionMgrPort(nullptr);
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.log", u"{\"msg\":\"hi\"}"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.uninstall", u""));
  ASSERT_TRUE(host_.WaitIdle());
  auto lines = log.LinesWithTag(u"Extension;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(u"strExtensionID: ext1, strParams: {\"msg\":\"hi\"}", lines[0].text);
  EXPECT_TRUE(port_->calls().empty());
  // Handlers that need the manager fail without it.
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getversion", u"{}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getextension", u"{}"));
}

using User = host::CBrowserModel::User;
constexpr const char16_t* kMalformed = u"参数格式错误,无法解析.";  // with an ASCII comma

enum Model { kNoTabs, kTwoFrames, kSignedIn, kSignedOut, kDialog };

struct ReplyCase {
  Model model;
  const char16_t* command;  // after "extension.invoke."
  const char16_t* arguments;
  const char16_t* text;             // the reply's arguments
  int dialogs = 0;                  // login dialogs shown, owned by frame 2
  const char16_t* reply = nullptr;  // after "extension.response."; null: as the command
};

class QueryTest : public CmdHostTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(QueryTest, RepliesWithExactText) {
  const ReplyCase& c = GetParam();
  ASSERT_EQ(S_OK, model()->AddFrame(1));
  if (c.model != kNoTabs) {
    ASSERT_EQ(S_OK, model()->AddTab(1, 11, u"http://one.example/", u"One"));
    ASSERT_EQ(S_OK, model()->AddFrame(2));
    ASSERT_EQ(S_OK, model()->AddTab(2, 21, u"http://two.example/a", u"Two A"));
    ASSERT_EQ(S_OK, model()->AddTab(2, 22, u"http://two.example/b", u"Two B"));
    ASSERT_EQ(S_OK, model()->Activate(22));
    ASSERT_EQ(S_OK, model()->SetFullScreen(2, true));
  }
  if (c.model == kSignedIn || c.model == kSignedOut) {
    model()->Login({u"u42", u"alice", u"sid=1"}, false);
  }
  if (c.model == kSignedOut) model()->Logout();
  if (c.model == kDialog) model()->SetDialogLogin(User{u"u7", u"carol", u"k"});
  const HRESULT hr = Command(std::u16string(u"extension.invoke.") + c.command, c.arguments);
  EXPECT_TRUE(SUCCEEDED(hr) || c.text == std::u16string(kMalformed)) << hr;
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(std::u16string(u"extension.response.") + (c.reply ? c.reply : c.command),
            replies[0].command);
  EXPECT_EQ(c.text, replies[0].arguments);
  EXPECT_EQ(c.dialogs, model()->login_dialog_shows());
  if (c.dialogs) {
    EXPECT_EQ(model()->WindowOf(2), model()->last_dialog_owner());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, QueryTest,
    ::testing::Values(
        ReplyCase{kTwoFrames, u"utility.getallpages", u"",
                  u"{ \"count\":\"3\",  \"framecount\":\"2\",\"list\":["
                  u"{\"tab_id\":\"11\",\"frame_id\":\"1\"},{\"tab_id\":\"21\",\"frame_id\":\"2\"},"
                  u"{\"tab_id\":\"22\",\"frame_id\":\"2\"}]}"},
        ReplyCase{kNoTabs, u"utility.getallpages", u"{}", u""},
        ReplyCase{kTwoFrames, u"utility.getactivepage", u"",
                  u"{ \"count\":\"2\", \"list\":[{\"tab_id\":\"11\"},{\"tab_id\":\"22\"}]}"},
        ReplyCase{kNoTabs, u"utility.getactivepage", u"", u""},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{\"tab_id\":22}",
                  u"{\r\n\"url\":\"http://two.example/b\"}"},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{\"tab_id\":99}", u"{\r\n\"url\":\"\"}"},
        ReplyCase{kTwoFrames, u"utility.geturl", u"not json", u"{\r\n\"url\":\"\"}"},
        ReplyCase{kTwoFrames, u"utility.gettitle", u"[]", kMalformed},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"{\"tab_id\":22}",
                  u"{\r\n\"tab_id\":\"22\",\"frame_id\":\"2\"}", 0, u"utility.getFramebyTab"},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"{\"tab_id\":99}",
                  u"{\r\n\"tab_id\":\"99\"}", 0, u"utility.getFramebyTab"},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"tab 22", kMalformed, 0,
                  u"utility.getFramebyTab"},
        // A position in the frame list, not a frame's id.
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{\"frame_id\":1}",
                  u"{\r\n\"frame_id\":\"1\",\"status\":\"1\"}"},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{\"frame_id\":2}", u""},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{", kMalformed},
        ReplyCase{kTwoFrames, u"utility.getversion", u"",
                  u"{\r\n\"browserversion\":\"6.5.1.2\",\"version\":\"1.0.3\"}"},
        ReplyCase{kTwoFrames, u"utility.getextension", u"{\"a\":1}", u""}));

INSTANTIATE_TEST_SUITE_P(
    Login, QueryTest,
    ::testing::Values(
        ReplyCase{kSignedIn, u"login.getloginfo", u"",
                  u"{\r\n\"userid\":\"u42\",\"user\":\"alice\",\"cookie\":\"sid=1\"}"},
        ReplyCase{kSignedOut, u"login.getloginfo", u"",
                  u"{\r\n\"userid\":\"\",\"user\":\"\",\"cookie\":\"\"}"},
        ReplyCase{kSignedIn, u"login.calllogin", u"{\"tab_id\":11}", u"{\"show\":\"0\"}"},
        // The dialog is owned by the window of the tab's frame.
        ReplyCase{kDialog, u"login.calllogin", u"{\"tab_id\":22}",
                  u"{\"ret\":\"1\",\"show\":\"1\"}", 1},
        ReplyCase{kTwoFrames, u"login.calllogin", u"{\"tab_id\":22}",
                  u"{\"ret\":\"0\",\"show\":\"1\"}", 1},
        ReplyCase{kTwoFrames, u"login.calllogin", u"{}", u"{\"show\":\"0\"}"}));

TEST_F(CmdHostTest, UnknownTabsAnswerWithoutAReply) {
  AddTwoFrames();
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":99}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":99}"));
  EXPECT_EQ(E_INVALIDARG, Command(u"extension.invoke.utility.getfavicon", u"oops"));
  EXPECT_EQ(1u, RepliesWhenIdle().size());  // the malformed one only
}

// Sent straight to the manager, not through PostReply; null: nothing is sent.
TEST_F(CmdHostTest, GetMediaInfoRepliesOnlyForAPageWithMediaAndAnId) {
  AddTwoFrames();
  ASSERT_EQ(S_OK, model()->SetMedia(11, true, true, u""));
  ASSERT_EQ(S_OK, model()->SetMedia(21, true, false, u"{\"videos\":[\"v.mp4\"]}"));
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"{\"tab_id\":11,\"id\":\"r1\"}", u"{\"result\":{},\"id\":\"r1\", \"empty\":\"true\"}"},
      {u"{\"tab_id\":21,\"id\":\"r2\"}",
       u"{\"result\":{\"videos\":[\"v.mp4\"]},\"id\":\"r2\", \"empty\":\"false\"}"},
      {u"{\"tab_id\":22,\"id\":\"r3\"}", nullptr},  // no media in the page
      {u"{\"tab_id\":11}", nullptr},
      {u"{\"id\":\"r4\"}", nullptr},
      {u"media", nullptr}};
  for (const auto& [arguments, text] : cases) {
    const size_t before = port_->replies().size();
    EXPECT_EQ(S_OK, Command(u"extension.invoke.sniffer.getmediainfo", arguments, 12));
    std::vector<SentReply> replies = RepliesWhenIdle();
    ASSERT_EQ(before + (text ? 1 : 0), replies.size()) << halcy::Utf16ToUtf8(arguments);
    if (!text) continue;
    EXPECT_EQ(u"extension.response.sniffer.getmediainfo", replies.back().command);
    EXPECT_EQ(text, replies.back().arguments);
    EXPECT_EQ(12, replies.back().request_context);
  }
}

TEST_F(CmdHostTest, GetImageCountAsksThePageWithTheCaller) {
  AddTwoFrames();
  EXPECT_EQ(S_OK,
            Command(u"extension.invoke.utility.getimagecount", u"{\"tab_id\":21}", 1, u"extB"));
  EXPECT_TRUE(RepliesWhenIdle().empty()) << "the page answers, not the host";
  EXPECT_EQ((std::vector<std::pair<std::u16string, LONG>>{{u"extB", 21}}),
            model()->image_count_requests());
}

TEST_F(CmdHostTest, UploadLogHandsTheRecordToTheManager) {
  EXPECT_EQ(S_OK, Command(u"extension.invoke.cmd.uploadlog",
                          u"{\"param\":{\"type\":\"crash\",\"loguploadtype\":\"3x\","
                          u"\"content\":{\"b\":[1,2],\"a\":\"x/y\"}}}"));
  for (const char16_t* bad : {u"{\"param\":\"text\"}", u"{}", u"nope"}) {
    EXPECT_EQ(E_FAIL, Command(u"extension.invoke.cmd.uploadlog", bad));
  }
  // The content is written again by the host's JSON writer.
  EXPECT_EQ(std::vector<std::u16string>{u"statistics ext1 3 crash {\"a\":\"x\\/y\",\"b\":[1,2]}"},
            port_->calls());
}

TEST_F(CmdHostTest, ToLibAsyncForwardsTheFirstFourContextFields) {
  for (const char16_t* arguments :
       {u"{\"fecmdContext\":\"3, key7, 4, 5\",\"result\":{\"ok\":true}}",
        u"{\"fecmdContext\":\"1, a, 2, 3, extra\",\"result\":\"r\"}",
        u"{\"fecmdContext\":\"3, key7, 4\",\"result\":1}",  // too few
        u"{\"result\":1}"}) {
    EXPECT_EQ(S_OK, Command(u"extension.response.fe.toLibAsync", arguments));
  }
  EXPECT_EQ(E_INVALIDARG, Command(u"extension.response.fe.toLibAsync", u"fecmdContext"));
  // The text field loses the blank the format put after the comma.
  EXPECT_EQ((std::vector<std::u16string>{u"answer ext1 {\"ok\":true} 3 key7 4 5",
                                         u"answer ext1 \"r\" 1 a 2 3"}),
            port_->calls());
}

}  // namespace
}  // namespace command_testing

// Inside a started extension manager: commands arrive through the manager's receive path and
// take the manager's real routes.
namespace extension_testing {
namespace {

using CmdHostRoutingTest = RoutingFixture;

// The host's uninstall goes through the real port to the manager, which deletes the caller
// itself and nothing else.
TEST_F(CmdHostRoutingTest, UninstallRemovesTheCallingExtension) {
  Start({RoutedExtension(u"rt-gone", true, u"[\"utility\"]"),
         RoutedExtension(u"rt-stays", true, u"[\"utility\"]")});
  auto cmd_host = halcy::MakeComObject<Logic::CCoExtCommonCmdHost>();
  ASSERT_EQ(S_OK, cmd_host->SetExtensionMgr(impl()));
  ASSERT_EQ(S_OK, mgr_->RegisterCmdHost(cmd_host.Get()));
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
