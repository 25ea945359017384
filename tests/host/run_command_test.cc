// Runs `plexore-host run` for real: the module registered on demand, the built-in set seeded
// into a fresh data root, the store read back by a second run.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace {

using testing_support::RunCommand;

class RunCommandTest : public ::testing::Test {
 protected:
  int Run(const std::string& args, std::string* out) {
    return RunCommand(
        "HALCY_REGISTRY=" + dir_.File("registry.reg") + " " + PLEXORE_HOST + " run " + args, out,
        true);
  }
  std::string DataRoot() const { return dir_.File("appdata"); }
  std::string StorePath() const {
    return DataRoot() + "/halcy/browser/SysData/localextensions/extdb_v2.json";
  }
  testing_support::ScopedTempDir dir_;
};

TEST_F(RunCommandTest, FirstRunSeedsTheBuiltInSetAndPrintsEachSummary) {
  std::string out;
  ASSERT_EQ(0, Run("--data-root " + DataRoot(), &out)) << out;
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
  EXPECT_TRUE(std::ifstream(StorePath()).good());
}

TEST_F(RunCommandTest, SecondRunReadsTheStoreInsteadOfSeedingAgain) {
  std::string out;
  ASSERT_EQ(0, Run("--data-root " + DataRoot(), &out)) << out;
  // Disable one extension in the stored database behind the browser's back.
  std::string text;
  {
    std::ifstream in(StorePath());
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string from = "\"id\":\"weatherdesk\",\"state\":1";
  size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << text;
  text.replace(at, from.size(), "\"id\":\"weatherdesk\",\"state\":0");
  std::ofstream(StorePath(), std::ios::trunc) << text;

  ASSERT_EQ(0, Run("--data-root " + DataRoot(), &out)) << out;
  std::vector<std::string> lines = testing_support::SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_NE(std::string::npos, lines[4].find("\"state\":\"0\"")) << lines[4];
  EXPECT_NE(std::string::npos, lines[2].find("\"state\":\"1\"")) << lines[2];
}

TEST_F(RunCommandTest, BadArgumentsAreRefusedWithUsage) {
  std::string out;
  EXPECT_EQ(2, Run("--data-root", &out));
  EXPECT_NE(std::string::npos, out.find("usage: plexore-host")) << out;
  EXPECT_EQ(2, Run("--data-root " + DataRoot() + " extra", &out));
  EXPECT_NE(std::string::npos, out.find("unexpected argument 'extra'")) << out;
}

}  // namespace
