// plexorectl json, run as a real process: output bytes, messages and exit codes.
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
using testing::Matcher;
using testing::StartsWith;

struct Invocation {
  const char* name;
  std::string args;   // words after "plexorectl"; "DIR/" names the scratch folder
  std::string input;  // standard input
  int code;
  Matcher<const std::string&> out, err;
};

void PrintTo(const Invocation& c, std::ostream* os) { *os << c.name; }

Invocation Json(const char* name, std::string input, std::string out) {
  return out.empty() ? Invocation{name, "json", std::move(input), 1, Eq(""), Eq("invalid JSON\n")}
                     : Invocation{name, "json", std::move(input), 0, Eq(out), Eq("")};
}

Invocation Usage(const char* name, std::string args) {
  return {name, std::move(args), "", 2, Eq(""), HasSubstr("usage: plexorectl")};
}

class PlexorectlTest : public testing::TestWithParam<Invocation> {
 protected:
  testing_support::ScopedTempDir dir_;
};

TEST_P(PlexorectlTest, WritesTheExpectedBytesAndExitCode) {
  const Invocation& c = GetParam();
  testing_support::WriteFileOrDie(dir_.File("m.json"), "\xEF\xBB\xBF{\"name\":\"demo\",\"id\":7}");
  testing_support::WriteFileOrDie(dir_.File("bad.json"), "{\"a\" 1}");
  std::string args = c.args;
  for (size_t at; (at = args.find("DIR/")) != std::string::npos;) args.replace(at, 3, dir_.path());
  std::vector<std::string> argv;
  for (std::istringstream words(args); words >> args;) argv.push_back(args);
  const plexore_test::ToolResult result = plexore_test::RunTool(PLEXORECTL_PATH, argv, c.input);
  EXPECT_EQ(c.code, result.exit_code);
  EXPECT_THAT(result.out, c.out);
  EXPECT_THAT(result.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Json, PlexorectlTest,
    testing::Values(
        Json("sorted_and_compact", "{ \"b\" : 1,\n \"a\" : [TRUE, null, \"x/y\"] }\n",
             "{\"a\":[true,null,\"x\\/y\"],\"b\":1}\n"),
        Json("numbers", "[1234567, 0.1, 1e21, -0]", "[1.23457e+06,0.1,1e+21,-0]\n"),
        Json("byte_order_mark", "\xEF\xBB\xBF{\"k\":\"caf\xC3\xA9\"}", "{\"k\":\"caf\xC3\xA9\"}\n"),
        Json("non_ascii_escape", "[\"\\u4e2d\\uD83D\\uDE00\"]",
             "[\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"]\n"),
        Json("control_escape", "[\"\\u0001\"]", "[\"\\u0001\"]\n"),
        Json("trailing_text", "[1] trailing", "[1]\n"), Json("trailing_comma", "[1,]", ""),
        Json("empty", "", ""), Json("bom_only", "\xEF\xBB\xBF", ""),
        Json("leading_zero", "[012]", ""), Json("deep", std::string(100000, '['), ""),
        Invocation{"dash_reads_standard_input", "json -", "[true]", 0, Eq("[true]\n"), Eq("")},
        Invocation{"named_file_wins_over_standard_input", "json DIR/m.json", "[\"stdin\"]", 0,
                   Eq("{\"id\":7,\"name\":\"demo\"}\n"), Eq("")},
        Invocation{"invalid_file", "json DIR/bad.json", "", 1, Eq(""), Eq("invalid JSON\n")},
        Invocation{"missing_file", "json DIR/missing.json", "", 1, Eq(""),
                   HasSubstr("missing.json")},
        Invocation{"help", "--help", "", 0, HasSubstr("json [FILE]"), Eq("")},
        Invocation{"json_help", "json --help", "", 0, StartsWith("usage: plexorectl json [FILE]"),
                   Eq("")},
        Usage("no_command", ""), Usage("unknown_command", "nosuchcommand"),
        Usage("two_files", "json a.json b.json"), Usage("unknown_option", "json --pretty")),
    [](const testing::TestParamInfo<Invocation>& info) { return std::string(info.param.name); });

}  // namespace
