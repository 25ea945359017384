// Dispatch of the common command host: the two tables, HandleCommand's threads and results,
// and the reply rule of PostReply.
#include <gtest/gtest.h>

#include <set>

#include "command/cmd_host_test_util.h"
#include "platform/bstr.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/thread_gate.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace command_testing {
namespace {

using Logic::CExtCommonCmdHostImpl;
using Table = CExtCommonCmdHostImpl::Table;

TEST(CommandTableTest, FortyFourCommandsTwentyTwoInEachTable) {
  std::set<std::u16string> names;
  size_t ui = 0;
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    const auto& row = CExtCommonCmdHostImpl::kCommandRows[i];
    names.insert(row.command);
    if (row.table == Table::kUI) ++ui;
    EXPECT_NE(nullptr, row.handler);
  }
  EXPECT_EQ(44u, CExtCommonCmdHostImpl::kCommandRowCount);
  EXPECT_EQ(44u, names.size()) << "no name stands twice";
  EXPECT_EQ(22u, ui);
  // Filling order: the first and last rows of each table.
  EXPECT_EQ(u"extension.invoke.utility.getfavicon",
            std::u16string(CExtCommonCmdHostImpl::kCommandRows[0].command));
  EXPECT_EQ(u"extension.invoke.utility.log",
            std::u16string(CExtCommonCmdHostImpl::kCommandRows[21].command));
  EXPECT_EQ(u"extension.invoke.utility.getactivepage",
            std::u16string(CExtCommonCmdHostImpl::kCommandRows[22].command));
  EXPECT_EQ(u"extension.invoke.ui.updateInfo",
            std::u16string(CExtCommonCmdHostImpl::kCommandRows[43].command));
}

class DispatchTest : public CmdHostFixture {};

TEST_F(DispatchTest, EveryUICommandIsTakenAtOnce) {
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    const auto& row = CExtCommonCmdHostImpl::kCommandRows[i];
    if (row.table != Table::kUI) continue;
    EXPECT_EQ(S_OK, Command(row.command, u"{}")) << i;
  }
}

TEST_F(DispatchTest, ACommandDifferingOnlyInLetterCaseIsNotOurs) {
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    std::u16string name = CExtCommonCmdHostImpl::kCommandRows[i].command;
    // Flip the case of the last letter: "...geturl" -> "...geturL", "...updateInfo" ->
    // "...updateInfO".
    for (auto it = name.rbegin(); it != name.rend(); ++it) {
      if (*it >= u'a' && *it <= u'z') {
        *it = static_cast<char16_t>(*it - u'a' + u'A');
        break;
      }
      if (*it >= u'A' && *it <= u'Z') {
        *it = static_cast<char16_t>(*it - u'A' + u'a');
        break;
      }
    }
    EXPECT_EQ(E_NOTIMPL, Command(name, u"{}")) << i;
  }
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

TEST_F(DispatchTest, UnknownAndEmptyNamesAreNotOurs) {
  EXPECT_EQ(E_NOTIMPL, Command(u"extension.invoke.utility.nosuch", u"{}"));
  EXPECT_EQ(E_NOTIMPL, Command(u"", u"{}"));
  EXPECT_EQ(E_NOTIMPL, Command(u"extension.invoke.utility.geturl ", u"{}"));
}

TEST_F(DispatchTest, GetWindowStatusIsTakenAndRepliesNothing) {
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.getwindowstatus", u"{\"tab_id\":1}"));
  EXPECT_TRUE(RepliesWhenIdle().empty());
}

TEST_F(DispatchTest, UIReplyComesFromTheUIThreadAfterHandleCommandReturned) {
  AddTwoFrames();
  testing_support::ThreadGate gate(Thread::kThreadUI);
  // The UI thread is busy: HandleCommand must answer without waiting for it.
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.geturl", u"{\"tab_id\":21}", 41));
  EXPECT_TRUE(port_->replies().empty());
  gate.Release();
  ASSERT_TRUE(port_->WaitForReplies(1));
  SentReply reply = port_->replies()[0];
  EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), reply.thread_id);
  EXPECT_EQ(u"extension.response.utility.geturl", reply.command);
  EXPECT_EQ(u"{\r\n\"url\":\"http://two.example/a\"}", reply.arguments);
  EXPECT_EQ(41, reply.request_context);
  EXPECT_EQ(u"ext1", reply.extension_id);
}

TEST_F(DispatchTest, SyncReplyComesFromTheCallingThread) {
  AddTwoFrames();
  SentReply reply = OnlyReply(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":11}");
  EXPECT_EQ(host_.ThreadId(Thread::kThreadExtensionManager), reply.thread_id);
}

TEST_F(DispatchTest, UIHandlersRunInPostingOrder) {
  AddTwoFrames();
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);
    for (LONG context = 1; context <= 20; ++context) {
      ASSERT_EQ(S_OK, Command(u"extension.invoke.utility.geturl", u"{\"tab_id\":11}", context));
    }
  }
  ASSERT_TRUE(port_->WaitForReplies(20));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(20u, replies.size());
  for (LONG i = 0; i < 20; ++i) EXPECT_EQ(i + 1, replies[i].request_context);
}

TEST_F(DispatchTest, APostedCommandKeepsTheHostAlive) {
  AddTwoFrames();
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);
    ASSERT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":22}"));
    cmd_host_ = nullptr;  // the manager lets go; the queued task still holds the host
  }
  ASSERT_TRUE(port_->WaitForReplies(1));
  EXPECT_EQ(u"{\r\n\"title\":\"Two B\"}", port_->replies()[0].arguments);
}

struct ReplyRuleCase {
  HRESULT status;
  bool sent;
};

class PostReplyTest : public CmdHostFixture, public ::testing::WithParamInterface<ReplyRuleCase> {};

TEST_P(PostReplyTest, ReplyIsLoggedAndSentUnlessSuppressed) {
  testing_support::LogCapture log;
  cmd_host_->impl().PostReply(u"ext9", GetParam().status, u"extension.response.x.y",
                              u"{\r\n\"a\":\"b\"}", 3);
  EXPECT_TRUE(log.Contains(
      u"ext:post to libi, extid:ext9, command:extension.response.x.y, args: {\r\n\"a\":\"b\"}\n"));
  std::vector<SentReply> replies = port_->replies();
  ASSERT_EQ(GetParam().sent ? 1u : 0u, replies.size());
  if (GetParam().sent) {
    EXPECT_EQ(u"{\r\n\"a\":\"b\"}", replies[0].arguments);
    EXPECT_EQ(3, replies[0].request_context);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, PostReplyTest,
    ::testing::Values(ReplyRuleCase{S_OK, true}, ReplyRuleCase{E_INVALIDARG, true},
                      ReplyRuleCase{E_POINTER, true}, ReplyRuleCase{E_FAIL, false},
                      ReplyRuleCase{S_FALSE, false}, ReplyRuleCase{E_NOTIMPL, false}));

TEST_F(DispatchTest, InvalidArgumentReplyIsDeliveredAndFailureIsDroppedAfterItsLogLine) {
  AddTwoFrames();
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.geturl", u"not json", 5));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":99}", 6));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(u"extension.response.utility.geturl", replies[0].command);
  EXPECT_EQ(u"{\r\n\"url\":\"\"}", replies[0].arguments);
  EXPECT_EQ(5, replies[0].request_context);
  // The dropped gettitle reply was still logged, at level 37 under "extCloud;".
  bool logged = false;
  for (const auto& line : log.LinesWithTag(u"extCloud;")) {
    if (line.text.find(u"command:extension.response.utility.gettitle") != std::u16string::npos) {
      logged = true;
      EXPECT_EQ(37, line.level);
    }
  }
  EXPECT_TRUE(logged);
}

TEST_F(DispatchTest, LogWritesTheCallersArguments) {
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.log", u"{\"msg\":\"hi\"}"));
  auto lines = log.LinesWithTag(u"Extension;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(16, lines[0].level);
  EXPECT_EQ(u"strExtensionID: ext1, strParams: {\"msg\":\"hi\"}", lines[0].text);
}

TEST_F(DispatchTest, UninstallDeletesTheCallerOnTheUIThread) {
  EXPECT_EQ(S_OK,
            Command(u"extension.invoke.utility.uninstall", u"{\"id\":\"other\"}", 1, u"extA"));
  ASSERT_TRUE(host_.WaitIdle());
  auto deletes = port_->deletes();
  ASSERT_EQ(1u, deletes.size());
  EXPECT_EQ(u"extA", deletes[0].first);  // the caller itself; the arguments are not read
  EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), deletes[0].second);
}

TEST_F(DispatchTest, WithoutAManagerLogAndUninstallStillSucceed) {
  cmd_host_->impl().SetExtensionMgrPort(nullptr);
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.log", u"x"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.uninstall", u""));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(log.Contains(u"strExtensionID: ext1, strParams: x"));
  EXPECT_TRUE(port_->deletes().empty());
  // Handlers that need the manager fail without it, and nothing is sent.
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getversion", u"{}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getextension", u"{}"));
}

}  // namespace
}  // namespace command_testing
