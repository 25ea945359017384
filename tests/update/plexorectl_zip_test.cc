// plexorectl zip, run as the real binary on packages built by the test.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "support/temp_env.h"
#include "support/zip_builder.h"
#include "tools/tool_runner.h"

namespace {

using plexore_test::RunTool;
using plexore_test::ToolResult;
using testing_support::BuildZip;
using testing_support::ReadFileOrEmpty;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;
using testing_support::ZipDir;
using testing_support::ZipFile;
using testing_support::ZipFixtureEntry;

class PlexorectlZipTest : public ::testing::Test {
 protected:
  std::string Package(const std::vector<ZipFixtureEntry>& entries) {
    const std::string path = temp_.File("p.zip");
    WriteFileOrDie(path, BuildZip(entries));
    return path;
  }
  ScopedTempDir temp_;
};

TEST_F(PlexorectlZipTest, ListShowsSanitisedNamesAttributesAndSizes) {
  ZipFixtureEntry read_only = ZipFile("C:\\ro.txt", "abc");
  read_only.external_attributes = 0100444u << 16;
  read_only.deflate = false;
  const ToolResult result =
      RunTool(PLEXORECTL_PATH, {"zip", "list", Package({read_only, ZipDir("d/")})});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "R---A\t3\t3\tro.txt\n---DA\t0\t0\td/\n");
}

TEST_F(PlexorectlZipTest, CheckNamesEveryRefusedEntryAndWhy) {
  ZipFixtureEntry encrypted = ZipFile("enc", "abc");
  encrypted.encrypted = true;
  ZipFixtureEntry bomb = ZipFile("bomb", "abc");
  bomb.declared_size = 1 << 20;
  const std::string path =
      Package({ZipFile("ok", "1"), ZipFile("a/../../x", "2"), encrypted, bomb});
  const ToolResult refused = RunTool(PLEXORECTL_PATH, {"zip", "check", path});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.out,
            "1\t../x\t0x00000200 the name leaves the destination\n"
            "2\tenc\t0x00001000 encrypted\n"
            "3\tbomb\t0x05000000 inflation ratio past 1000:1\n");
  const ToolResult clean =
      RunTool(PLEXORECTL_PATH, {"zip", "check", Package({ZipFile("ok", "1")})});
  EXPECT_EQ(clean.exit_code, 0);
  EXPECT_EQ(clean.out, "");
}

TEST_F(PlexorectlZipTest, ExtractKeepsThePackageAndShowsProgressForLargeOnes) {
  std::mt19937 random(7);
  std::string noise(3 << 19, '\0');  // 1.5 MiB that does not compress
  for (char& c : noise) c = static_cast<char>(random());
  struct Case {
    std::string data;
    bool progress;
  };
  for (const Case& c : {Case{"small", false}, Case{noise, true}}) {
    const std::string path = Package({ZipFile("f.bin", c.data)});
    const std::string out = temp_.File("out");
    const ToolResult result = RunTool(PLEXORECTL_PATH, {"zip", "extract", path, out});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(ReadFileOrEmpty(out + "/f.bin"), c.data);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(result.err.find("1/1 entries") != std::string::npos, c.progress) << result.err;
  }
}

TEST_F(PlexorectlZipTest, ErrorsAndHelp) {
  WriteFileOrDie(temp_.File("junk.zip"), "junk");
  EXPECT_EQ(RunTool(PLEXORECTL_PATH, {"zip", "list", temp_.File("junk.zip")}).exit_code, 1);
  EXPECT_EQ(RunTool(PLEXORECTL_PATH, {"zip", "extract", temp_.File("missing.zip"), temp_.File("o")})
                .exit_code,
            1);
  EXPECT_EQ(RunTool(PLEXORECTL_PATH, {"zip", "unpack", "x"}).exit_code, 2);
  const ToolResult help = RunTool(PLEXORECTL_PATH, {"zip", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("ZIP itself is kept"), std::string::npos);
}

}  // namespace
