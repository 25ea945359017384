// plexorectl and its json command, run as a real process: output bytes, messages and exit codes.
// The JSON reader and writer themselves are tested in tests/json.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_env.h"
#include "tool_runner.h"

namespace {

using testing::Eq;
using testing::HasSubstr;

TEST(PlexorectlTest, WritesTheExpectedBytesAndExitCode) {
  testing_support::ScopedTempDir dir;
  testing_support::WriteFileOrDie(dir.File("m.json"), "\xEF\xBB\xBF{\"name\":\"demo\",\"id\":7}");
  const std::string usage = "usage: plexorectl";
  const struct {
    std::string args;   // words after "plexorectl"
    std::string input;  // standard input
    int code;
    testing::Matcher<const std::string&> out, err;
  } cases[] = {
      {"json", "{ \"b\" : 1,\n \"a\" : [true, null, \"x/y\"] }\n", 0,
       Eq("{\"a\":[true,null,\"x\\/y\"],\"b\":1}\n"), Eq("")},
      {"json -", "[true]", 0, Eq("[true]\n"), Eq("")},
      {"json " + dir.File("m.json"), "[\"stdin\"]", 0, Eq("{\"id\":7,\"name\":\"demo\"}\n"),
       Eq("")},
      {"json", "[1,]", 1, Eq(""), Eq("invalid JSON\n")},
      {"json " + dir.File("missing.json"), "", 1, Eq(""), HasSubstr("missing.json")},
      {"--help", "", 0, HasSubstr("json [FILE]"), Eq("")},
      {"json --help", "", 0, testing::StartsWith("usage: plexorectl json [FILE]"), Eq("")},
      {"", "", 2, Eq(""), HasSubstr(usage)},
      {"nosuchcommand", "", 2, Eq(""), HasSubstr(usage)},
      {"json a.json b.json", "", 2, Eq(""), HasSubstr(usage)},
      {"json --pretty", "", 2, Eq(""), HasSubstr(usage)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("plexorectl " + c.args);
    std::vector<std::string> argv;
    std::istringstream words(c.args);
    for (std::string word; words >> word;) argv.push_back(word);
    const plexore_test::ToolResult result = plexore_test::RunTool(PLEXORECTL_PATH, argv, c.input);
    EXPECT_EQ(c.code, result.exit_code);
    EXPECT_THAT(result.out, c.out);
    EXPECT_THAT(result.err, c.err);
  }
}

}  // namespace
