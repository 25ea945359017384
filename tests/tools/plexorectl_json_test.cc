// plexorectl json, run as a real process: output bytes, messages and exit codes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tool_runner.h"

namespace plexore_test {
namespace {

ToolResult Ctl(const std::vector<std::string>& args, const std::string& input = "") {
  return RunTool(PLEXORECTL_PATH, args, input);
}

struct JsonCase {
  const char* name;
  std::string input;
  std::string out;  // Empty: the input is invalid.
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }

class PlexorectlJsonTest : public testing::TestWithParam<JsonCase> {};

TEST_P(PlexorectlJsonTest, WritesCompactJsonOrRejects) {
  const JsonCase& c = GetParam();
  const ToolResult result = Ctl({"json"}, c.input);
  if (c.out.empty()) {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "invalid JSON\n");
  } else {
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, PlexorectlJsonTest,
    testing::Values(JsonCase{"sorted_and_compact",
                             "{ \"b\" : 1,\n \"a\" : [TRUE, null, \"x/y\"] }\n",
                             "{\"a\":[true,null,\"x\\/y\"],\"b\":1}\n"},
                    JsonCase{"numbers", "[1234567, 0.1, 1e21, -0]", "[1.23457e+06,0.1,1e+21,-0]\n"},
                    JsonCase{"byte_order_mark", "\xEF\xBB\xBF{\"k\":\"caf\xC3\xA9\"}",
                             "{\"k\":\"caf\xC3\xA9\"}\n"},
                    JsonCase{"non_ascii_escape", "[\"\\u4e2d\\uD83D\\uDE00\"]",
                             "[\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"]\n"},
                    JsonCase{"control_escape", "[\"\\u0001\"]", "[\"\\u0001\"]\n"},
                    JsonCase{"trailing_text", "[1] trailing", "[1]\n"},
                    JsonCase{"trailing_comma", "[1,]", ""}, JsonCase{"empty", "", ""},
                    JsonCase{"bom_only", "\xEF\xBB\xBF", ""}, JsonCase{"leading_zero", "[012]", ""},
                    JsonCase{"deep", std::string(100000, '['), ""}),
    [](const testing::TestParamInfo<JsonCase>& info) { return std::string(info.param.name); });

class PlexorectlFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/plexorectl_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file) {
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::fclose(file);
    }
    return path;
  }

  std::string dir_;
};

TEST_F(PlexorectlFileTest, ReadsTheNamedFileAndIgnoresStandardInput) {
  const std::string path = Write("m.json", "\xEF\xBB\xBF{\"name\":\"demo\",\"id\":7}");
  const ToolResult result = Ctl({"json", path}, "[\"stdin\"]");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "{\"id\":7,\"name\":\"demo\"}\n");
}

TEST_F(PlexorectlFileTest, InvalidFileFails) {
  const ToolResult result = Ctl({"json", Write("bad.json", "{\"a\" 1}")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "invalid JSON\n");
}

TEST_F(PlexorectlFileTest, MissingFileFailsNamingIt) {
  const ToolResult result = Ctl({"json", dir_ + "/missing.json"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("missing.json"), std::string::npos) << result.err;
}

TEST(PlexorectlUsageTest, DashReadsStandardInput) {
  const ToolResult result = Ctl({"json", "-"}, "[true]");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "[true]\n");
}

TEST(PlexorectlUsageTest, HelpListsTheJsonCommand) {
  const ToolResult result = Ctl({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.out.find("json [FILE]"), std::string::npos) << result.out;
  const ToolResult command_help = Ctl({"json", "--help"});
  EXPECT_EQ(command_help.exit_code, 0);
  EXPECT_EQ(command_help.out.rfind("usage: plexorectl json [FILE]", 0), 0u) << command_help.out;
}

TEST(PlexorectlUsageTest, WrongCommandLinesExitWithUsage) {
  const std::vector<std::vector<std::string>> command_lines = {
      {}, {"nosuchcommand"}, {"json", "a.json", "b.json"}, {"json", "--pretty"}};
  for (const auto& args : command_lines) {
    const ToolResult result = Ctl(args);
    EXPECT_EQ(result.exit_code, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("usage: plexorectl"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace plexore_test
