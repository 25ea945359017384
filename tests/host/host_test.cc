// Runs the real plexore-host against the real libplexore.so with a private registry and data
// root: the entry points, the classes through the registry, the start-up of the extension
// manager, and the command lines it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace {

using testing::Eq;
using testing::HasSubstr;
using testing_support::ReadFileOrEmpty;

class HostTest : public ::testing::Test {
 protected:
  // Runs `command` (a program beside plexore-host, then its arguments); "DIR/" names the data
  // root. Standard output and standard error both land in `out`.
  int Run(std::string command, std::string* out) {
    for (size_t at; (at = command.find("DIR/")) != std::string::npos;) {
      command.replace(at, 4, DataRoot());
    }
    return testing_support::RunCommand("HALCY_REGISTRY=" + dir_.File("registry.reg") +
                                           " HALCY_APPDATA=" + DataRoot() + " " + Bin() + command,
                                       out, true);
  }
  static std::string Bin() {
    const std::string host = PLEXORE_HOST;
    return host.substr(0, host.rfind('/') + 1);
  }
  std::string DataRoot() const { return dir_.File("appdata"); }
  std::string StorePath() const {
    return DataRoot() + "/halcy/browser/SysData/localextensions/extdb_v2.json";
  }
  testing_support::ScopedTempDir dir_;
};

TEST_F(HostTest, RegisterThenClassesActivatesAllTwelveAndUnregisterTakesThemAway) {
  std::string out;
  ASSERT_EQ(0, Run("plexore-host register", &out)) << out;
  EXPECT_EQ("DllRegisterServer: 0x00000000\n", out);
  ASSERT_EQ(0, Run("plexore-host classes", &out)) << out;
  std::vector<std::string> lines = testing_support::SplitLines(out);
  ASSERT_EQ(13u, lines.size()) << out;
  EXPECT_EQ("DllCanUnloadNow: S_OK (0x00000000)", lines.back());
  lines.pop_back();
  for (const std::string& line : lines) {
    EXPECT_EQ(std::string::npos, line.find('!')) << line;  // every interface answered
    EXPECT_NE(std::string::npos, line.find("IProvideClassInfo")) << line;
  }
  EXPECT_NE(std::string::npos, out.find("CCoExtensionContextMenuMgr.CCoExtensi.1"));
  ASSERT_EQ(0, Run("plexore-host unregister", &out)) << out;
  EXPECT_EQ("DllUnregisterServer: 0x00000000\n", out);
  EXPECT_EQ(1, Run("plexore-host classes", &out));
  EXPECT_NE(std::string::npos, out.find("0x80040154")) << out;  // REGDB_E_CLASSNOTREG
}

TEST_F(HostTest, BadCommandLinesFailClearly) {
  const struct {
    const char* command;
    int code;
    testing::Matcher<const std::string&> output;
  } cases[] = {
      {"plexore-host classes", 1, HasSubstr("create failed: 0x80040154")},  // not registered
      {"plexore-host --module /nonexistent/libplexore.so register", 2,
       HasSubstr("cannot load /nonexistent/libplexore.so")},
      {"plexore-host frobnicate", 2, HasSubstr("unknown command")},
      {"plexore-host run --data-root", 2, HasSubstr("usage: plexore-host")},
      {"plexore-host run --data-root DIR/ extra", 2, HasSubstr("unexpected argument 'extra'")},
      // The data converter stand-in the manager starts before seeding.
      {"Pellwick.exe --action=convert --type=extension --dir=\"/tmp/a b\"", 0, Eq("")},
      {"Pellwick.exe --bogus", 2, HasSubstr("unknown argument '--bogus'")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string out;
    EXPECT_EQ(c.code, Run(c.command, &out));
    EXPECT_THAT(out, c.output);
  }
}

TEST_F(HostTest, FirstRunSeedsTheBuiltInSetAndTheSecondReadsTheStore) {
  std::string out;
  ASSERT_EQ(0, Run("plexore-host run --data-root DIR/", &out)) << out;
  std::vector<std::string> lines = testing_support::SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_EQ("OnLocalExtensionList: pagenotes,translatebar,weatherdesk", lines[0]);
  EXPECT_EQ("OnFirstReady", lines[1]);
  const char* ids[] = {"pagenotes", "translatebar", "weatherdesk"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0u, lines[2 + i].find(std::string("{ \"id\":\"") + ids[i] + "\"")) << lines[2 + i];
    EXPECT_NE(std::string::npos, lines[2 + i].find("\"icon\":\"data:image/png;base64,iVBORw0K"))
        << lines[2 + i];
  }
  // Flags 1 on the seeded record: may not be uninstalled.
  EXPECT_NE(std::string::npos, lines[2].find("\"uninstall\":\"false\", \"candisable\":\"true\""));
  // The options page resolves into the user's copy of the extension, fragment kept.
  EXPECT_NE(std::string::npos,
            lines[3].find("SysData\\\\localextensions\\\\translatebar\\\\options.html#general"))
      << lines[3];

  // Disable one extension in the stored database behind the browser's back.
  std::string text = ReadFileOrEmpty(StorePath());
  const std::string from = "\"id\":\"weatherdesk\",\"state\":1";
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << text;
  text.replace(at, from.size(), "\"id\":\"weatherdesk\",\"state\":0");
  testing_support::WriteFileOrDie(StorePath(), text);
  ASSERT_EQ(0, Run("plexore-host run --data-root DIR/", &out)) << out;
  lines = testing_support::SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_NE(std::string::npos, lines[4].find("\"state\":\"0\"")) << lines[4];
  EXPECT_NE(std::string::npos, lines[2].find("\"state\":\"1\"")) << lines[2];
}

}  // namespace
