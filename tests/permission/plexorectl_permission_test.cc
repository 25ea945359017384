// plexorectl permission, run as the real binary: answers, exit codes and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_env.h"
#include "tools/tool_runner.h"

namespace {

TEST(PlexorectlPermissionTest, AnswersEachQueryOrFailsWithAMessage) {
  testing_support::ScopedTempDir dir;
  const std::string file = dir.File("manifest.json");
  testing_support::WriteFileOrDie(file, R"({"permissions":["History","http://*.halcy.cn/*"]})");
  const struct {
    std::vector<std::string> args;
    std::string input, out;
    int exit_code;
    std::string err_start;
  } cases[] = {
      // clang-format off
      {{file, "api:hcbrowser.history.search", "api:hcbrowser.tabs.query", "url:http://halcy.com/",
        "url:http://www.halcy.cn/a"}, "", "allowed\nrefused\nrefused\nallowed\n", 1, ""},
      {{"-", "url:http://a.com/x", "api:hcbrowser.xhr.send"},
       R"({"permissions":["<all_urls>","XHR"]})", "allowed\nallowed\n", 0, ""},
      {{}, "", "", 2, "plexorectl permission: no manifest given\n"},
      {{"-"}, "{}", "", 2, "plexorectl permission: no query given\n"},
      {{"-", "api:x", "host:y"}, "{}", "", 2,
       "plexorectl permission: query 'host:y' is not api:NAME or url:URL\n"},
      {{"-", "api:x"}, "[1,2]", "", 1,
       "plexorectl permission: the manifest is not a JSON object\n"},
      {{"/nonexistent/dir/manifest.json", "api:x"}, "", "", 1, "plexorectl permission: "},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "permission");
    const plexore_test::ToolResult result = plexore_test::RunTool(PLEXORECTL_PATH, args, c.input);
    EXPECT_EQ(c.out, result.out) << testing::PrintToString(c.args);
    EXPECT_EQ(c.exit_code, result.exit_code) << result.err;
    // The whole message when none is expected, else its start.
    EXPECT_EQ(c.err_start,
              result.err.substr(0, c.err_start.empty() ? std::string::npos : c.err_start.size()));
  }
}

}  // namespace
