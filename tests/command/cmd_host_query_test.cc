// The query handlers: keys, defaults, reply texts byte for byte and the statuses that decide
// whether a reply is sent, against the host's browser model.
#include <gtest/gtest.h>

#include "command/cmd_host_test_util.h"
#include "command/command_args.h"
#include "support/log_capture.h"

namespace command_testing {
namespace {

using User = host::CBrowserModel::User;

class QueryTest : public CmdHostFixture {
 protected:
  // The reply text to `command`, which must produce exactly one reply.
  std::u16string ReplyText(const std::u16string& command, const std::u16string& arguments) {
    return OnlyReply(command, arguments).arguments;
  }
};

TEST_F(QueryTest, GetAllPagesListsTwoFramesWithOneAndTwoTabs) {
  AddTwoFrames();
  SentReply reply = OnlyReply(u"extension.invoke.utility.getallpages", u"");
  EXPECT_EQ(u"extension.response.utility.getallpages", reply.command);
  EXPECT_EQ(
      u"{ \"count\":\"3\",  \"framecount\":\"2\",\"list\":["
      u"{\"tab_id\":\"11\",\"frame_id\":\"1\"},"
      u"{\"tab_id\":\"21\",\"frame_id\":\"2\"},"
      u"{\"tab_id\":\"22\",\"frame_id\":\"2\"}]}",
      reply.arguments);
}

TEST_F(QueryTest, GetAllPagesWithoutTabsRepliesEmptyText) {
  ASSERT_EQ(S_OK, model()->AddFrame(1));
  EXPECT_EQ(u"", ReplyText(u"extension.invoke.utility.getallpages", u"{}"));
}

TEST_F(QueryTest, GetAllPagesCountsOnlyFramesWithTabsInTheList) {
  ASSERT_EQ(S_OK, model()->AddFrame(1));
  ASSERT_EQ(S_OK, model()->AddFrame(2));
  ASSERT_EQ(S_OK, model()->AddTab(2, 5, u"u", u"t"));
  // Both frames have a tab container (an empty one counts as a frame).
  EXPECT_EQ(
      u"{ \"count\":\"1\",  \"framecount\":\"2\",\"list\":[{\"tab_id\":\"5\",\"frame_id\":\"2\"}]}",
      ReplyText(u"extension.invoke.utility.getallpages", u""));
}

TEST_F(QueryTest, GetActivePageListsTheActiveTabOfEachFrame) {
  AddTwoFrames();
  ASSERT_EQ(S_OK, model()->Activate(22));
  EXPECT_EQ(u"{ \"count\":\"2\", \"list\":[{\"tab_id\":\"11\"},{\"tab_id\":\"22\"}]}",
            ReplyText(u"extension.invoke.utility.getactivepage", u""));
}

TEST_F(QueryTest, GetActivePageWithoutTabsRepliesEmptyText) {
  EXPECT_EQ(u"", ReplyText(u"extension.invoke.utility.getactivepage", u""));
}

TEST_F(QueryTest, TabTexts) {
  AddTwoFrames();
  ASSERT_EQ(S_OK, model()->SetFavicon(21, u"http://two.example/favicon.ico"));
  struct Case {
    const char16_t* command;
    const char16_t* arguments;
    const char16_t* reply_command;
    const char16_t* text;
  } cases[] = {
      {u"extension.invoke.utility.geturl", u"{\"tab_id\":22}", u"extension.response.utility.geturl",
       u"{\r\n\"url\":\"http://two.example/b\"}"},
      {u"extension.invoke.utility.geturl", u"{\"tab_id\":\"11\"}",
       u"extension.response.utility.geturl", u"{\r\n\"url\":\"http://one.example/\"}"},
      {u"extension.invoke.utility.geturl", u"{\"tab_id\":99}", u"extension.response.utility.geturl",
       u"{\r\n\"url\":\"\"}"},
      {u"extension.invoke.utility.geturl", u"{}", u"extension.response.utility.geturl",
       u"{\r\n\"url\":\"\"}"},
      {u"extension.invoke.utility.gettitle", u"{\"tab_id\":21}",
       u"extension.response.utility.gettitle", u"{\r\n\"title\":\"Two A\"}"},
      {u"extension.invoke.utility.gettitle", u"[]", u"extension.response.utility.gettitle",
       Logic::kMalformedArgumentsMessage},
      {u"extension.invoke.utility.getfavicon", u"{\"tab_id\":21}",
       u"extension.response.utility.getfavicon",
       u"{\r\n\"favicon\":\"http://two.example/favicon.ico\"}"},
      {u"extension.invoke.utility.getfavicon", u"{tab_id:21}",
       u"extension.response.utility.getfavicon", Logic::kMalformedArgumentsMessage},
  };
  for (const Case& c : cases) {
    port_ = std::make_shared<RecordingMgrPort>();
    cmd_host_->impl().SetExtensionMgrPort(port_);
    SentReply reply = OnlyReply(c.command, c.arguments);
    EXPECT_EQ(c.reply_command, reply.command);
    EXPECT_EQ(c.text, reply.arguments);
  }
}

TEST_F(QueryTest, TitleAndFaviconOfAnUnknownTabStaySilent) {
  AddTwoFrames();
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":99}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":99}"));
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

TEST_F(QueryTest, MalformedFaviconArgumentsAnswerInvalidArg) {
  EXPECT_EQ(E_INVALIDARG, Command(u"extension.invoke.utility.getfavicon", u"oops"));
  EXPECT_EQ(1u, RepliesWhenIdle().size());
}

TEST_F(QueryTest, GetFrameByTab) {
  AddTwoFrames();
  struct Case {
    const char16_t* arguments;
    const char16_t* text;
  } cases[] = {
      {u"{\"tab_id\":22}", u"{\r\n\"tab_id\":\"22\",\"frame_id\":\"2\"}"},
      {u"{\"tab_id\":99}", u"{\r\n\"tab_id\":\"99\"}"},  // no such tab: no frame
      {u"{}", u"{\r\n\"tab_id\":\"-1\"}"},
      {u"tab 22", Logic::kMalformedArgumentsMessage},
  };
  for (const Case& c : cases) {
    port_ = std::make_shared<RecordingMgrPort>();
    cmd_host_->impl().SetExtensionMgrPort(port_);
    SentReply reply = OnlyReply(u"extension.invoke.utility.getframebytab", c.arguments);
    EXPECT_EQ(u"extension.response.utility.getFramebyTab", reply.command);
    EXPECT_EQ(c.text, reply.arguments);
  }
}

TEST_F(QueryTest, IsFrameFullScreenTakesAListPosition) {
  ASSERT_EQ(S_OK, model()->AddFrame(7));
  ASSERT_EQ(S_OK, model()->AddFrame(9));
  ASSERT_EQ(S_OK, model()->SetFullScreen(9, true));
  struct Case {
    const char16_t* arguments;
    const char16_t* text;
  } cases[] = {
      {u"{\"frame_id\":1}", u"{\r\n\"frame_id\":\"1\",\"status\":\"1\"}"},
      {u"{\"frame_id\":\"0\"}", u"{\r\n\"frame_id\":\"0\",\"status\":\"0\"}"},
      {u"{\"frame_id\":9}", u""},  // an id, not a position: no frame there
      {u"{}", u""},
      {u"{", Logic::kMalformedArgumentsMessage},
  };
  for (const Case& c : cases) {
    port_ = std::make_shared<RecordingMgrPort>();
    cmd_host_->impl().SetExtensionMgrPort(port_);
    SentReply reply = OnlyReply(u"extension.invoke.utility.isframefullscreen", c.arguments);
    EXPECT_EQ(u"extension.response.utility.isframefullscreen", reply.command);
    EXPECT_EQ(c.text, reply.arguments) << static_cast<int>(c.arguments[1]);
  }
}

TEST_F(QueryTest, GetVersionGivesBrowserThenExtensionVersion) {
  port_->SetExtensionVersion(u"ext1", u"1.0.3");
  SentReply reply = OnlyReply(u"extension.invoke.utility.getversion", u"");
  EXPECT_EQ(u"extension.response.utility.getversion", reply.command);
  EXPECT_EQ(u"{\r\n\"browserversion\":\"6.5.1.2\",\"version\":\"1.0.3\"}", reply.arguments);
}

TEST_F(QueryTest, GetVersionOfAnUnknownExtensionHasAnEmptyVersion) {
  EXPECT_EQ(u"{\r\n\"browserversion\":\"6.5.1.2\",\"version\":\"\"}",
            ReplyText(u"extension.invoke.utility.getversion", u"{}"));
}

TEST_F(QueryTest, GetExtensionRepliesEmptyText) {
  SentReply reply = OnlyReply(u"extension.invoke.utility.getextension", u"{\"a\":1}");
  EXPECT_EQ(u"extension.response.utility.getextension", reply.command);
  EXPECT_EQ(u"", reply.arguments);
}

TEST_F(QueryTest, GetLogInfo) {
  model()->Login({u"u42", u"alice", u"sid=1"}, false);
  EXPECT_EQ(u"{\r\n\"userid\":\"u42\",\"user\":\"alice\",\"cookie\":\"sid=1\"}",
            ReplyText(u"extension.invoke.login.getloginfo", u""));
}

TEST_F(QueryTest, GetLogInfoWithoutCookieOrUser) {
  model()->Login({u"u42", u"alice", u""}, false);
  EXPECT_EQ(u"{\r\n\"userid\":\"u42\",\"user\":\"alice\",\"cookie\":\"\"}",
            ReplyText(u"extension.invoke.login.getloginfo", u""));
  model()->Logout();
  port_ = std::make_shared<RecordingMgrPort>();
  cmd_host_->impl().SetExtensionMgrPort(port_);
  EXPECT_EQ(u"{\r\n\"userid\":\"\",\"user\":\"\",\"cookie\":\"\"}",
            ReplyText(u"extension.invoke.login.getloginfo", u""));
}

TEST_F(QueryTest, CallLoginWhenSignedInOnlySaysNotShown) {
  AddTwoFrames();
  model()->Login({u"u1", u"bob", u"c"}, false);
  EXPECT_EQ(u"{\"show\":\"0\"}",
            ReplyText(u"extension.invoke.login.calllogin", u"{\"tab_id\":11}"));
  EXPECT_EQ(0, model()->login_dialog_shows());
}

TEST_F(QueryTest, CallLoginShowsTheDialogOwnedByTheTabsFrame) {
  AddTwoFrames();
  model()->SetDialogLogin(User{u"u7", u"carol", u"k"});
  EXPECT_EQ(u"{\"ret\":\"1\",\"show\":\"1\"}",
            ReplyText(u"extension.invoke.login.calllogin", u"{\"tab_id\":22}"));
  EXPECT_EQ(1, model()->login_dialog_shows());
  EXPECT_EQ(model()->WindowOf(2), model()->last_dialog_owner());
}

TEST_F(QueryTest, CallLoginDialogClosedWithoutSigningIn) {
  AddTwoFrames();
  EXPECT_EQ(u"{\"ret\":\"0\",\"show\":\"1\"}",
            ReplyText(u"extension.invoke.login.calllogin", u"{\"tab_id\":11}"));
  EXPECT_EQ(1, model()->login_dialog_shows());
}

TEST_F(QueryTest, CallLoginWithoutAWindowShowsNothing) {
  AddTwoFrames();
  EXPECT_EQ(u"{\"show\":\"0\"}", ReplyText(u"extension.invoke.login.calllogin", u"{}"));
  EXPECT_EQ(0, model()->login_dialog_shows());
}

TEST_F(QueryTest, GetMediaInfo) {
  AddTwoFrames();
  ASSERT_EQ(S_OK, model()->SetMedia(11, true, true, u""));
  ASSERT_EQ(S_OK, model()->SetMedia(21, true, false, u"{\"videos\":[\"v.mp4\"]}"));
  struct Case {
    const char16_t* arguments;
    const char16_t* text;  // null: nothing is sent
  } cases[] = {
      {u"{\"tab_id\":11,\"id\":\"r1\"}", u"{\"result\":{},\"id\":\"r1\", \"empty\":\"true\"}"},
      {u"{\"tab_id\":21,\"id\":\"r2\"}",
       u"{\"result\":{\"videos\":[\"v.mp4\"]},\"id\":\"r2\", \"empty\":\"false\"}"},
      {u"{\"tab_id\":22,\"id\":\"r3\"}", nullptr},  // no media in the page
      {u"{\"tab_id\":11}", nullptr},                // no "id"
      {u"{\"id\":\"r4\"}", nullptr},                // no "tab_id"
      {u"media", nullptr},
  };
  for (const Case& c : cases) {
    port_ = std::make_shared<RecordingMgrPort>();
    cmd_host_->impl().SetExtensionMgrPort(port_);
    testing_support::LogCapture log;
    EXPECT_EQ(S_OK, Command(u"extension.invoke.sniffer.getmediainfo", c.arguments, 12));
    std::vector<SentReply> replies = RepliesWhenIdle();
    ASSERT_EQ(c.text ? 1u : 0u, replies.size());
    if (!c.text) continue;
    EXPECT_EQ(u"extension.response.sniffer.getmediainfo", replies[0].command);
    EXPECT_EQ(c.text, replies[0].arguments);
    EXPECT_EQ(12, replies[0].request_context);
    EXPECT_TRUE(log.LinesWithTag(u"extCloud;").empty()) << "sent past PostReply, unlogged";
  }
}

TEST_F(QueryTest, GetImageCountAsksThePageWithTheCaller) {
  AddTwoFrames();
  EXPECT_EQ(S_OK,
            Command(u"extension.invoke.utility.getimagecount", u"{\"tab_id\":21}", 1, u"extB"));
  EXPECT_TRUE(RepliesWhenIdle().empty()) << "the page answers, not the host";
  auto requests = model()->image_count_requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(u"extB", requests[0].first);
  EXPECT_EQ(21, requests[0].second);
}

TEST_F(QueryTest, UploadLogHandsTheRecordToTheManager) {
  EXPECT_EQ(S_OK, Command(u"extension.invoke.cmd.uploadlog",
                          u"{\"param\":{\"type\":\"crash\",\"loguploadtype\":\"3x\","
                          u"\"content\":{\"b\":[1,2],\"a\":\"x/y\"}}}"));
  auto records = port_->statistics();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(u"ext1", records[0].extension_id);
  EXPECT_EQ(3, records[0].upload_type);
  EXPECT_EQ(u"crash", records[0].type);
  EXPECT_EQ(u"{\"a\":\"x\\/y\",\"b\":[1,2]}", records[0].content);  // re-serialised
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

TEST_F(QueryTest, UploadLogWithoutParamObjectFails) {
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.cmd.uploadlog", u"{\"param\":\"text\"}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.cmd.uploadlog", u"{}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.cmd.uploadlog", u"nope"));
  EXPECT_TRUE(port_->statistics().empty());
}

TEST_F(QueryTest, ToLibAsyncForwardsTheResultToTheRequester) {
  EXPECT_EQ(S_OK, Command(u"extension.response.fe.toLibAsync",
                          u"{\"fecmdContext\":\"3, key7, 4, 5\",\"result\":{\"ok\":true}}"));
  auto answers = port_->front_end_answers();
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ(u"ext1", answers[0].extension_id);
  EXPECT_EQ(u"{\"ok\":true}", answers[0].result);
  EXPECT_EQ(3, answers[0].number1);
  EXPECT_EQ(u"key7", answers[0].text);  // without the blank the format put after the comma
  EXPECT_EQ(4, answers[0].number2);
  EXPECT_EQ(5, answers[0].number3);
}

TEST_F(QueryTest, ToLibAsyncNeedsFourContextFields) {
  EXPECT_EQ(S_OK, Command(u"extension.response.fe.toLibAsync",
                          u"{\"fecmdContext\":\"3, key7, 4\",\"result\":1}"));
  EXPECT_EQ(S_OK, Command(u"extension.response.fe.toLibAsync", u"{\"result\":1}"));
  EXPECT_NE(S_OK, Command(u"extension.response.fe.toLibAsync", u"fecmdContext"));
  EXPECT_TRUE(port_->front_end_answers().empty());
}

TEST_F(QueryTest, ToLibAsyncTakesAtMostFourFields) {
  EXPECT_EQ(S_OK, Command(u"extension.response.fe.toLibAsync",
                          u"{\"fecmdContext\":\"1, a, 2, 3, extra\",\"result\":\"r\"}"));
  auto answers = port_->front_end_answers();
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ(u"\"r\"", answers[0].result);
  EXPECT_EQ(3, answers[0].number3);
}

}  // namespace
}  // namespace command_testing
