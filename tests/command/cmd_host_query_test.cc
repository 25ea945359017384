// The query handlers against the host's browser model: keys, defaults, reply texts byte for
// byte, and the statuses that decide whether a reply is sent.
#include <gtest/gtest.h>

#include "command/cmd_host_test_util.h"
#include "command/command_args.h"
#include "platform/strings.h"
#include "support/log_capture.h"

namespace command_testing {
namespace {

using User = host::CBrowserModel::User;
constexpr const char16_t* kMalformed = Logic::kMalformedArgumentsMessage;

enum Model { kNoTabs, kEmptyFrameAndOneTab, kTwoFrames, kSignedIn, kNoCookie, kSignedOut, kDialog };

struct ReplyCase {
  Model model;
  const char16_t* command;  // after "extension.invoke."
  const char16_t* arguments;
  const char16_t* text;             // the reply's arguments
  int dialogs = 0;                  // login dialogs shown, owned by frame 2
  const char16_t* reply = nullptr;  // after "extension.response."; null: as the command
};

class QueryTest : public CmdHostFixture, public ::testing::WithParamInterface<ReplyCase> {
 protected:
  void SetUpModel(Model state) {
    if (state == kNoTabs) {
      ASSERT_EQ(S_OK, model()->AddFrame(1));
      return;
    }
    if (state == kEmptyFrameAndOneTab) {
      ASSERT_EQ(S_OK, model()->AddFrame(1));
      ASSERT_EQ(S_OK, model()->AddFrame(2));
      ASSERT_EQ(S_OK, model()->AddTab(2, 5, u"u", u"t"));
      return;
    }
    AddTwoFrames();
    ASSERT_EQ(S_OK, model()->Activate(22));
    ASSERT_EQ(S_OK, model()->SetFavicon(21, u"http://two.example/favicon.ico"));
    ASSERT_EQ(S_OK, model()->SetFullScreen(2, true));
    if (state == kSignedIn) model()->Login({u"u42", u"alice", u"sid=1"}, false);
    if (state == kNoCookie || state == kSignedOut) model()->Login({u"u42", u"alice", u""}, false);
    if (state == kSignedOut) model()->Logout();
    if (state == kDialog) model()->SetDialogLogin(User{u"u7", u"carol", u"k"});
  }
};

TEST_P(QueryTest, RepliesWithExactText) {
  const ReplyCase& c = GetParam();
  SetUpModel(c.model);
  const HRESULT hr = Command(std::u16string(u"extension.invoke.") + c.command, c.arguments);
  EXPECT_TRUE(SUCCEEDED(hr) || c.text == kMalformed) << hr;
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(std::u16string(u"extension.response.") + (c.reply ? c.reply : c.command),
            replies[0].command);
  EXPECT_EQ(c.text, replies[0].arguments);
  EXPECT_EQ(7, replies[0].request_context);
  EXPECT_EQ(c.dialogs, model()->login_dialog_shows());
  if (c.dialogs) {
    EXPECT_EQ(model()->WindowOf(2), model()->last_dialog_owner());
  }
}

void PrintTo(const ReplyCase& c, std::ostream* os) {
  *os << halcy::Utf16ToUtf8(c.command) << " " << halcy::Utf16ToUtf8(c.arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, QueryTest,
    ::testing::Values(
        ReplyCase{kTwoFrames, u"utility.getallpages", u"",
                  u"{ \"count\":\"3\",  \"framecount\":\"2\",\"list\":["
                  u"{\"tab_id\":\"11\",\"frame_id\":\"1\"},{\"tab_id\":\"21\",\"frame_id\":\"2\"},"
                  u"{\"tab_id\":\"22\",\"frame_id\":\"2\"}]}"},
        ReplyCase{kNoTabs, u"utility.getallpages", u"{}", u""},
        // An empty tab container still counts as a frame.
        ReplyCase{kEmptyFrameAndOneTab, u"utility.getallpages", u"",
                  u"{ \"count\":\"1\",  \"framecount\":\"2\",\"list\":[{\"tab_id\":\"5\","
                  u"\"frame_id\":\"2\"}]}"},
        ReplyCase{kTwoFrames, u"utility.getactivepage", u"",
                  u"{ \"count\":\"2\", \"list\":[{\"tab_id\":\"11\"},{\"tab_id\":\"22\"}]}"},
        ReplyCase{kNoTabs, u"utility.getactivepage", u"", u""},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{\"tab_id\":22}",
                  u"{\r\n\"url\":\"http://two.example/b\"}"},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{\"tab_id\":\"11\"}",
                  u"{\r\n\"url\":\"http://one.example/\"}"},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{\"tab_id\":99}", u"{\r\n\"url\":\"\"}"},
        ReplyCase{kTwoFrames, u"utility.geturl", u"{}", u"{\r\n\"url\":\"\"}"},
        ReplyCase{kTwoFrames, u"utility.gettitle", u"{\"tab_id\":21}",
                  u"{\r\n\"title\":\"Two A\"}"},
        ReplyCase{kTwoFrames, u"utility.gettitle", u"[]", kMalformed},
        ReplyCase{kTwoFrames, u"utility.getfavicon", u"{\"tab_id\":21}",
                  u"{\r\n\"favicon\":\"http://two.example/favicon.ico\"}"},
        ReplyCase{kTwoFrames, u"utility.getfavicon", u"{tab_id:21}", kMalformed},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"{\"tab_id\":22}",
                  u"{\r\n\"tab_id\":\"22\",\"frame_id\":\"2\"}", 0, u"utility.getFramebyTab"},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"{\"tab_id\":99}",
                  u"{\r\n\"tab_id\":\"99\"}", 0, u"utility.getFramebyTab"},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"{}", u"{\r\n\"tab_id\":\"-1\"}", 0,
                  u"utility.getFramebyTab"},
        ReplyCase{kTwoFrames, u"utility.getframebytab", u"tab 22", kMalformed, 0,
                  u"utility.getFramebyTab"},
        // A position in the frame list, not a frame's id.
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{\"frame_id\":1}",
                  u"{\r\n\"frame_id\":\"1\",\"status\":\"1\"}"},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{\"frame_id\":\"0\"}",
                  u"{\r\n\"frame_id\":\"0\",\"status\":\"0\"}"},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{\"frame_id\":2}", u""},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{}", u""},
        ReplyCase{kTwoFrames, u"utility.isframefullscreen", u"{", kMalformed},
        ReplyCase{kTwoFrames, u"utility.getversion", u"",
                  u"{\r\n\"browserversion\":\"6.5.1.2\",\"version\":\"1.0.3\"}"},
        ReplyCase{kTwoFrames, u"utility.getextension", u"{\"a\":1}", u""}));

INSTANTIATE_TEST_SUITE_P(
    Login, QueryTest,
    ::testing::Values(
        ReplyCase{kSignedIn, u"login.getloginfo", u"",
                  u"{\r\n\"userid\":\"u42\",\"user\":\"alice\",\"cookie\":\"sid=1\"}"},
        ReplyCase{kNoCookie, u"login.getloginfo", u"",
                  u"{\r\n\"userid\":\"u42\",\"user\":\"alice\",\"cookie\":\"\"}"},
        ReplyCase{kSignedOut, u"login.getloginfo", u"",
                  u"{\r\n\"userid\":\"\",\"user\":\"\",\"cookie\":\"\"}"},
        ReplyCase{kSignedIn, u"login.calllogin", u"{\"tab_id\":11}", u"{\"show\":\"0\"}"},
        // The dialog is owned by the window of the tab's frame.
        ReplyCase{kDialog, u"login.calllogin", u"{\"tab_id\":22}",
                  u"{\"ret\":\"1\",\"show\":\"1\"}", 1},
        ReplyCase{kTwoFrames, u"login.calllogin", u"{\"tab_id\":22}",
                  u"{\"ret\":\"0\",\"show\":\"1\"}", 1},
        ReplyCase{kTwoFrames, u"login.calllogin", u"{}", u"{\"show\":\"0\"}"}));

class QueryStatusTest : public CmdHostFixture {};

TEST_F(QueryStatusTest, UnknownTabsAndBadArgumentsAnswerWithoutAReply) {
  AddTwoFrames();
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":99}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":99}"));
  EXPECT_TRUE(RepliesWhenIdle().empty());
  EXPECT_EQ(E_INVALIDARG, Command(u"extension.invoke.utility.getfavicon", u"oops"));
  EXPECT_EQ(1u, RepliesWhenIdle().size());
}

TEST_F(QueryStatusTest, GetMediaInfoRepliesOnlyForAPageWithMediaAndAnId) {
  AddTwoFrames();
  ASSERT_EQ(S_OK, model()->SetMedia(11, true, true, u""));
  ASSERT_EQ(S_OK, model()->SetMedia(21, true, false, u"{\"videos\":[\"v.mp4\"]}"));
  const struct {
    const char16_t* arguments;
    const char16_t* text;  // null: nothing is sent
  } cases[] = {
      {u"{\"tab_id\":11,\"id\":\"r1\"}", u"{\"result\":{},\"id\":\"r1\", \"empty\":\"true\"}"},
      {u"{\"tab_id\":21,\"id\":\"r2\"}",
       u"{\"result\":{\"videos\":[\"v.mp4\"]},\"id\":\"r2\", \"empty\":\"false\"}"},
      {u"{\"tab_id\":22,\"id\":\"r3\"}", nullptr},  // no media in the page
      {u"{\"tab_id\":11}", nullptr},
      {u"{\"id\":\"r4\"}", nullptr},
      {u"media", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.arguments));
    const size_t before = port_->replies().size();
    testing_support::LogCapture log;
    EXPECT_EQ(S_OK, Command(u"extension.invoke.sniffer.getmediainfo", c.arguments, 12));
    std::vector<SentReply> replies = RepliesWhenIdle();
    ASSERT_EQ(before + (c.text ? 1 : 0), replies.size());
    if (!c.text) continue;
    EXPECT_EQ(u"extension.response.sniffer.getmediainfo", replies.back().command);
    EXPECT_EQ(c.text, replies.back().arguments);
    EXPECT_EQ(12, replies.back().request_context);
    EXPECT_TRUE(log.LinesWithTag(u"extCloud;").empty()) << "sent past PostReply, unlogged";
  }
}

TEST_F(QueryStatusTest, GetImageCountAsksThePageWithTheCaller) {
  AddTwoFrames();
  EXPECT_EQ(S_OK,
            Command(u"extension.invoke.utility.getimagecount", u"{\"tab_id\":21}", 1, u"extB"));
  EXPECT_TRUE(RepliesWhenIdle().empty()) << "the page answers, not the host";
  EXPECT_EQ((std::vector<std::pair<std::u16string, LONG>>{{u"extB", 21}}),
            model()->image_count_requests());
}

TEST_F(QueryStatusTest, UploadLogHandsTheRecordToTheManager) {
  EXPECT_EQ(S_OK, Command(u"extension.invoke.cmd.uploadlog",
                          u"{\"param\":{\"type\":\"crash\",\"loguploadtype\":\"3x\","
                          u"\"content\":{\"b\":[1,2],\"a\":\"x/y\"}}}"));
  for (const char16_t* bad : {u"{\"param\":\"text\"}", u"{}", u"nope"}) {
    EXPECT_EQ(E_FAIL, Command(u"extension.invoke.cmd.uploadlog", bad));
  }
  // The content is written again by the host's JSON writer.
  EXPECT_EQ(std::vector<std::u16string>{u"statistics ext1 3 crash {\"a\":\"x\\/y\",\"b\":[1,2]}"},
            port_->calls());
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

TEST_F(QueryStatusTest, ToLibAsyncForwardsTheFirstFourContextFields) {
  const struct {
    const char16_t* arguments;
    HRESULT status;
  } cases[] = {{u"{\"fecmdContext\":\"3, key7, 4, 5\",\"result\":{\"ok\":true}}", S_OK},
               {u"{\"fecmdContext\":\"1, a, 2, 3, extra\",\"result\":\"r\"}", S_OK},
               {u"{\"fecmdContext\":\"3, key7, 4\",\"result\":1}", S_OK},  // too few fields
               {u"{\"result\":1}", S_OK},
               {u"fecmdContext", E_INVALIDARG}};
  for (const auto& c : cases) {
    HRESULT hr = Command(u"extension.response.fe.toLibAsync", c.arguments);
    EXPECT_EQ(c.status == S_OK, hr == S_OK) << halcy::Utf16ToUtf8(c.arguments);
  }
  // The text field loses the blank the format put after the comma.
  EXPECT_EQ((std::vector<std::u16string>{u"answer ext1 {\"ok\":true} 3 key7 4 5",
                                         u"answer ext1 \"r\" 1 a 2 3"}),
            port_->calls());
}

}  // namespace
}  // namespace command_testing
