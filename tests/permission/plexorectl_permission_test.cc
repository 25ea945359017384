// plexorectl permission, run as the real binary: answers, exit codes and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_env.h"
#include "tools/tool_runner.h"

namespace {

using plexore_test::RunTool;
using plexore_test::ToolResult;
using Args = std::vector<std::string>;

ToolResult Permission(Args args, const std::string& input = "") {
  args.insert(args.begin(), "permission");
  return RunTool(PLEXORECTL_PATH, args, input);
}

TEST(PlexorectlPermissionTest, AnswersEachQueryAndExitsOneWhenAnyIsRefused) {
  testing_support::ScopedTempDir dir;
  testing_support::WriteFileOrDie(dir.File("manifest.json"),
                                  R"({"name":"demo","permissions":["History","bookmarks",)"
                                  R"("http://*.halcy.cn/*","file:///home/*","tabs"]})");
  const struct {
    Args queries;
    std::string out;
    int exit_code;
  } cases[] = {{{"api:hcbrowser.history.search", "api:HCBROWSER.BOOKMARKS.GETTREE",
                 "api:extension.invoke.register", "url:http://www.halcy.cn/a",
                 "url:file:///home/u/x.txt", "api:hcbrowser.history.getFrequently\t"},
                "allowed\nallowed\nallowed\nallowed\nallowed\nallowed\n",
                0},
               {{"api:hcbrowser.history.search", "api:hcbrowser.history.getFrequently",
                 "url:http://halcy.com/"},
                "allowed\nrefused\nrefused\n",
                1},
               {{"api:hcbrowser.tabs.query"}, "refused\n", 1},
               {{"url:https://www.halcy.cn/"}, "refused\n", 1},
               {{"api:"}, "refused\n", 1}};
  for (const auto& c : cases) {
    Args args = {dir.File("manifest.json")};
    args.insert(args.end(), c.queries.begin(), c.queries.end());
    const ToolResult result = Permission(args);
    EXPECT_EQ(c.out, result.out);
    EXPECT_EQ(c.exit_code, result.exit_code) << result.err;
    EXPECT_EQ("", result.err);
  }
}

TEST(PlexorectlPermissionTest, ReadsTheManifestFromStandardInput) {
  ToolResult result = Permission({"-", "url:http://a.com/x", "api:hcbrowser.xhr.send"},
                                 R"({"permissions":["<all_urls>","XHR"]})");
  EXPECT_EQ("allowed\nallowed\n", result.out);
  EXPECT_EQ(0, result.exit_code);
  // Without "permissions" only the free names are granted.
  result = Permission({"-", "api:extension.xmpp.sendmessage", "url:http://a.com/"}, R"({"a":1})");
  EXPECT_EQ("allowed\nrefused\n", result.out);
  EXPECT_EQ(1, result.exit_code);
}

TEST(PlexorectlPermissionErrorTest, FailsWithAMessage) {
  const std::string not_object = "plexorectl permission: the manifest is not a JSON object\n";
  const struct {
    Args args;
    std::string input;
    int exit_code;
    std::string err_start;
  } cases[] = {{{}, "", 2, "plexorectl permission: no manifest given\n"},
               {{"-"}, "{}", 2, "plexorectl permission: no query given\n"},
               {{"-", "api:x", "host:y"},
                "{}",
                2,
                "plexorectl permission: query 'host:y' is not api:NAME or url:URL\n"},
               {{"-", "api:x"}, "[1,2]", 1, not_object},
               {{"-", "api:x"}, "{\"permissions\":", 1, not_object},
               {{"/nonexistent/dir/manifest.json", "api:x"}, "", 1, "plexorectl permission: "}};
  for (const auto& c : cases) {
    const ToolResult result = Permission(c.args, c.input);
    EXPECT_EQ(c.exit_code, result.exit_code);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(c.err_start, result.err.substr(0, c.err_start.size())) << result.err;
  }
}

}  // namespace
