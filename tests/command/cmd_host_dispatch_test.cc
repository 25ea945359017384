// Dispatch of the common command host: the two tables, HandleCommand's threads and results,
// and the reply rule of PostReply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "command/cmd_host_test_util.h"
#include "support/log_capture.h"
#include "support/thread_gate.h"

namespace command_testing {
namespace {

using Logic::CExtCommonCmdHostImpl;
using Table = CExtCommonCmdHostImpl::Table;

TEST(CommandTableTest, FortyFourDistinctCommandsTwentyTwoInEachTable) {
  std::set<std::u16string> names;
  size_t ui = 0;
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    const auto& row = CExtCommonCmdHostImpl::kCommandRows[i];
    names.insert(row.command);
    ui += row.table == Table::kUI;
    EXPECT_NE(nullptr, row.handler);
  }
  EXPECT_EQ(44u, CExtCommonCmdHostImpl::kCommandRowCount);
  EXPECT_EQ(44u, names.size());
  EXPECT_EQ(22u, ui);
}

class DispatchTest : public CmdHostFixture {};

TEST_F(DispatchTest, EveryUICommandIsTakenAtOnce) {
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    const auto& row = CExtCommonCmdHostImpl::kCommandRows[i];
    if (row.table == Table::kUI) {
      EXPECT_EQ(S_OK, Command(row.command, u"{}")) << i;
    }
  }
}

TEST_F(DispatchTest, NamesOutsideTheTablesAreNotOurs) {
  std::vector<std::u16string> names = {u"extension.invoke.utility.nosuch", u"",
                                       u"extension.invoke.utility.geturl "};
  // Every command with the case of its last letter flipped: "...geturL", "...updateInfO".
  for (size_t i = 0; i < CExtCommonCmdHostImpl::kCommandRowCount; ++i) {
    std::u16string name = CExtCommonCmdHostImpl::kCommandRows[i].command;
    auto it = std::find_if(name.rbegin(), name.rend(), [](char16_t c) { return std::isalpha(c); });
    *it ^= 0x20;
    names.push_back(name);
  }
  for (const auto& name : names) EXPECT_EQ(E_NOTIMPL, Command(name, u"{}"));
  EXPECT_TRUE(RepliesWhenIdle().empty());
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
  Command(u"extension.invoke.utility.getfavicon", u"{\"tab_id\":11}");
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(host_.ThreadId(Thread::kThreadExtensionManager), replies[0].thread_id);
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

TEST_F(DispatchTest, PostReplyLogsEveryReplyAndDropsFailures) {
  const struct {
    HRESULT status;
    bool sent;
  } cases[] = {{S_OK, true},    {E_INVALIDARG, true}, {E_POINTER, true},
               {E_FAIL, false}, {S_FALSE, false},     {E_NOTIMPL, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    testing_support::LogCapture log;
    const size_t before = port_->replies().size();
    cmd_host_->impl().PostReply(u"ext9", c.status, u"extension.response.x.y", u"{\r\n\"a\":1}", 3);
    auto lines = log.LinesWithTag(u"extCloud;");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(37, lines[0].level);
    EXPECT_EQ(
        u"ext:post to libi, extid:ext9, command:extension.response.x.y, args: {\r\n\"a\":1}\n",
        lines[0].text);
    std::vector<SentReply> replies = port_->replies();
    ASSERT_EQ(before + (c.sent ? 1 : 0), replies.size());
    if (c.sent) {
      EXPECT_EQ(u"{\r\n\"a\":1}", replies.back().arguments);
      EXPECT_EQ(3, replies.back().request_context);
    }
  }
}

TEST_F(DispatchTest, InvalidArgumentReplyIsDeliveredAndFailureIsDropped) {
  AddTwoFrames();
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.geturl", u"not json", 5));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.gettitle", u"{\"tab_id\":99}", 6));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(u"extension.response.utility.geturl", replies[0].command);
  EXPECT_EQ(u"{\r\n\"url\":\"\"}", replies[0].arguments);
  EXPECT_EQ(5, replies[0].request_context);
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
  // The caller itself; the arguments are not read.
  EXPECT_EQ(std::vector<std::u16string>{u"delete extA on thread " +
                                        Num(host_.ThreadId(Thread::kThreadUI))},
            port_->calls());
}

TEST_F(DispatchTest, WithoutAManagerLogAndUninstallStillSucceed) {
  cmd_host_->impl().SetExtensionMgrPort(nullptr);
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.log", u"x"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.utility.uninstall", u""));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(log.Contains(u"strExtensionID: ext1, strParams: x"));
  EXPECT_TRUE(port_->calls().empty());
  // Handlers that need the manager fail without it.
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getversion", u"{}"));
  EXPECT_EQ(E_FAIL, Command(u"extension.invoke.utility.getextension", u"{}"));
}

}  // namespace
}  // namespace command_testing
