// The real plexore-host against the real libplexore.so: the entry points, the classes through
// the registry, the start-up of the extension manager, and the command lines it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_run.h"

namespace {

using testing::HasSubstr;
using testing_support::SplitLines;

class HostTest : public host_testing::HostRunTest {};

TEST_F(HostTest, RegisterThenClassesActivatesAllTwelveAndUnregisterTakesThemAway) {
  std::string out;
  ASSERT_EQ(0, Host("register", &out)) << out;
  EXPECT_EQ("DllRegisterServer: 0x00000000\n", out);
  ASSERT_EQ(0, Host("classes", &out)) << out;  // 0: every class answered every interface
  const std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(13u, lines.size()) << out;
  EXPECT_EQ("DllCanUnloadNow: S_OK (0x00000000)", lines.back());
  EXPECT_THAT(out, HasSubstr("CCoExtensionContextMenuMgr.CCoExtensi.1"));
  ASSERT_EQ(0, Host("unregister", &out)) << out;
  EXPECT_EQ("DllUnregisterServer: 0x00000000\n", out);
  EXPECT_EQ(1, Host("classes", &out));
  EXPECT_THAT(out, HasSubstr("create failed: 0x80040154"));  // REGDB_E_CLASSNOTREG
}

// The stand-in of the data converter that the manager starts before seeding.
TEST_F(HostTest, PellwickTakesTheConverterArgumentsAndNoOther) {
  const std::string host = PLEXORE_HOST;
  const std::string pellwick = host.substr(0, host.rfind('/') + 1) + "Pellwick.exe";
  std::string out;
  EXPECT_EQ(0, Run(pellwick + " --action=convert --type=extension --dir=\"/tmp/a b\"", &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(2, Run(pellwick + " --bogus", &out));
  EXPECT_THAT(out, HasSubstr("unknown argument '--bogus'"));
}

TEST_F(HostTest, FirstRunSeedsTheBuiltInSetAndTheSecondReadsTheStore) {
  std::string out;
  ASSERT_EQ(0, Host("run --data-root " + DataRoot(), &out)) << out;
  std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_EQ("OnLocalExtensionList: pagenotes,translatebar,weatherdesk", lines[0]);
  EXPECT_EQ("OnFirstReady", lines[1]);
  const char* ids[] = {"pagenotes", "translatebar", "weatherdesk"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_THAT(lines[2 + i], testing::StartsWith(std::string("{ \"id\":\"") + ids[i] + "\""));
    EXPECT_THAT(lines[2 + i], HasSubstr("\"icon\":\"data:image/png;base64,iVBORw0K"));
  }
  // Flags 1 on the seeded record: may not be uninstalled.
  EXPECT_THAT(lines[2], HasSubstr("\"uninstall\":\"false\", \"candisable\":\"true\""));
  // The options page resolves into the user's copy of the extension, fragment kept.
  EXPECT_THAT(lines[3],
              HasSubstr("SysData\\\\localextensions\\\\translatebar\\\\options.html#general"));

  // Disable one extension in the stored database behind the browser's back.
  std::string text = testing_support::ReadFileOrEmpty(Store());
  const std::string from = "\"id\":\"weatherdesk\",\"state\":1";
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << text;
  text.replace(at, from.size(), "\"id\":\"weatherdesk\",\"state\":0");
  testing_support::WriteFileOrDie(Store(), text);
  ASSERT_EQ(0, Host("run", &out)) << out;
  lines = SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_THAT(lines[4], HasSubstr("\"state\":\"0\""));
  EXPECT_THAT(lines[2], HasSubstr("\"state\":\"1\""));
}

}  // namespace
