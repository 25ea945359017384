// Commands from extensions and the front end through the manager: the trace, the command
// hosts in registration order, and the permission gate with its switch in
// extensionMgrConfig.ini.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extension/routing_test_util.h"
#include "platform/bstr.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using Thread::kThreadExtensionManager;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

using CommandDispatchTest = RoutingFixture;
using Receivers = std::vector<std::u16string>;

TEST_F(CommandDispatchTest, HostsAreAskedInOrderUntilOneTakesIt) {
  Start({RoutedExtension(u"cd-a", true, u"[\"utility\"]")});
  AddCmdHost(u"h1", E_NOTIMPL);
  AddCmdHost(u"h2", S_FALSE);
  AddCmdHost(u"h3", E_FAIL);  // a failure also lets the search go on
  EXPECT_EQ(S_FALSE, Receive(u"cd-a", u"extension.invoke.utility.log"));
  EXPECT_EQ((Receivers{u"h1", u"h2", u"h3"}), ReceiversOf(u"extension.invoke.utility.log"));
  AddCmdHost(u"h4", S_OK);
  AddCmdHost(u"h5", S_OK);
  EXPECT_EQ(S_OK, Receive(u"cd-a", u"extension.invoke.utility.geturl", u"{\"tab_id\":\"3\"}", 99));
  EXPECT_EQ((Receivers{u"h1", u"h2", u"h3", u"h4"}),
            ReceiversOf(u"extension.invoke.utility.geturl"));
  const JournalEntry entry = journal_->Entries().back();
  EXPECT_EQ(u"cd-a", entry.extension_id);
  EXPECT_EQ(u"{\"tab_id\":\"3\"}", entry.payload);
  EXPECT_EQ(99, entry.number1);
}

TEST_F(CommandDispatchTest, BackgroundPageCommandRunsOnTheManagerThreadAndIsTraced) {
  Start({RoutedExtension(u"cd-c", true)});
  AddCmdHost(u"h1", S_OK);
  testing_support::LogCapture log;
  ScopedBstr id(u"cd-c"), command(u"extension.invoke.utility.log"), args(u"{\"x\":1}");
  ASSERT_EQ(S_OK, mgr_->ProcessBPCommand(id.Get(), command.Get(), args.Get(), 5));
  ASSERT_TRUE(journal_->WaitFor(1));
  ASSERT_TRUE(host_.WaitIdle());
  const JournalEntry entry = journal_->Entries()[0];
  EXPECT_EQ(host_.ThreadId(kThreadExtensionManager), entry.thread_id);
  EXPECT_EQ(5, entry.number1);
  bool traced = false;
  for (const testing_support::LogLine& line : log.LinesWithTag(u"extCloud;")) {
    traced |= line.level == 37 && line.text ==
                                      u"ext:receive from extension, extid:cd-c, command:"
                                      u"extension.invoke.utility.log, args: {\"x\":1}\n";
  }
  EXPECT_TRUE(traced);
}

// --- The permission gate ---

struct GateCase {
  const char* label;
  std::u16string extension_id;
  std::u16string command;
  HRESULT expected;
};

TEST_F(CommandDispatchTest, PermissionGateDecidesWhoSeesTheCommand) {
  Start({RoutedExtension(u"pg-none", true, u"[]"),
         RoutedExtension(u"pg-util", true, u"[\"Utility\"]")});
  AddCmdHost(u"h1", S_OK);
  const GateCase cases[] = {
      {"grouped, group not granted", u"pg-none", u"extension.invoke.utility.geturl", kAccessDenied},
      {"grouped in other case", u"pg-none", u"EXTENSION.INVOKE.UTILITY.GETTITLE", kAccessDenied},
      {"grouped, group granted", u"pg-util", u"extension.invoke.utility.getversion", S_OK},
      {"in no group", u"pg-none", u"extension.invoke.utility.log", S_OK},
      {"front end", u"", u"extension.invoke.utility.getallpages", S_OK},
      {"always-granted group", u"pg-none", u"extension.response.fe.toLibAsync", S_OK},
      {"not registered", u"pg-unknown", u"extension.invoke.utility.getactivepage", kAccessDenied},
  };
  for (const GateCase& c : cases) {
    testing_support::LogCapture log;
    EXPECT_EQ(c.expected, Receive(c.extension_id, c.command)) << c.label;
    const bool offered = !ReceiversOf(c.command).empty();
    EXPECT_EQ(c.expected == S_OK, offered) << c.label;
    std::vector<testing_support::LogLine> denied;
    for (const testing_support::LogLine& line : log.LinesWithTag(u"extCloud;")) {
      if (line.text.starts_with(u"ext:permission denied")) denied.push_back(line);
    }
    if (c.expected == kAccessDenied) {
      ASSERT_EQ(1u, denied.size()) << c.label;
      EXPECT_EQ(64, denied[0].level);
      EXPECT_EQ(u"ext:permission denied, extid:" + c.extension_id + u", command:" + c.command,
                denied[0].text);
    } else {
      EXPECT_TRUE(denied.empty()) << c.label;
    }
  }
}

TEST_F(CommandDispatchTest, WithoutAPermissionManagerGroupedCommandsAreRefused) {
  Start({RoutedExtension(u"pg-nomgr", true, u"[\"utility\"]")}, /*permission_mgr=*/false);
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
  EXPECT_EQ(S_OK, Receive(u"pg-unknown", u"hcbrowser.history.search"));
  testing_support::WriteFileOrDie(ini, "[permission]\nenforce=1\n");
  SwitchAndWait(mgr_.Get(), listener_.Get(), 4);
  EXPECT_EQ(kAccessDenied, Receive(u"pg-off", u"extension.invoke.utility.getversion"));
  EXPECT_EQ(2u, journal_->Entries().size());
}

}  // namespace
}  // namespace extension_testing
