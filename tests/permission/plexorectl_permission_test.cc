// plexorectl permission, run as the real binary: answers, exit codes and messages.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/temp_env.h"
#include "tools/tool_runner.h"

namespace {

TEST(PlexorectlPermissionTest, AnswersEachQueryOrFailsWithAMessage) {
  testing_support::ScopedTempDir dir;
  const std::string file = dir.File("manifest.json");
  testing_support::WriteFileOrDie(file, R"({"permissions":["History","http://*.halcy.cn/*"]})");
  // The arguments, the standard input, the output, the exit code and the start
  // of the message on the standard error (the whole of it when empty).
  const std::tuple<std::vector<std::string>, std::string, std::string, int, std::string> cases[] = {
      // clang-format off
      {{"permission", file, "api:hcbrowser.history.search", "api:hcbrowser.tabs.query",
        "url:http://halcy.com/", "url:http://www.halcy.cn/a"},
       "", "allowed\nrefused\nrefused\nallowed\n", 1, ""},
      {{"permission", "-", "url:http://a.com/x", "api:hcbrowser.xhr.send"},
       R"({"permissions":["<all_urls>","XHR"]})", "allowed\nallowed\n", 0, ""},
      {{"permission"}, "", "", 2, "plexorectl permission: no manifest given\n"},
      {{"permission", "-"}, "{}", "", 2, "plexorectl permission: no query given\n"},
      {{"permission", "-", "api:x", "host:y"}, "{}", "", 2,
       "plexorectl permission: query 'host:y' is not api:NAME or url:URL\n"},
      {{"permission", "-", "api:x"}, "[1,2]", "", 1,
       "plexorectl permission: the manifest is not a JSON object\n"},
      {{"permission", "/nonexistent/dir/manifest.json", "api:x"}, "", "", 1,
       "plexorectl permission: "},
      // clang-format on
  };
  for (const auto& [args, input, out, exit_code, err_start] : cases) {
    const plexore_test::ToolResult result = plexore_test::RunTool(PLEXORECTL_PATH, args, input);
    EXPECT_EQ(out, result.out) << testing::PrintToString(args);
    EXPECT_EQ(exit_code, result.exit_code) << result.err;
    EXPECT_EQ(err_start,
              result.err.substr(0, err_start.empty() ? std::string::npos : err_start.size()));
  }
}

}  // namespace
