// plexorectl permission, run as the real binary: answers, exit codes and messages.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_env.h"
#include "tools/tool_runner.h"

namespace {

using plexore_test::RunTool;
using plexore_test::ToolResult;

constexpr char kManifest[] =
    R"({"name":"demo","permissions":["History","bookmarks","http://*.halcy.cn/*",)"
    R"("file:///home/*","tabs"]})";

struct CtlCase {
  const char* name;
  std::vector<std::string> queries;
  std::string out;
  int exit_code;
};

void PrintTo(const CtlCase& c, std::ostream* os) { *os << c.name; }

class PlexorectlPermissionTest : public testing::TestWithParam<CtlCase> {};

TEST_P(PlexorectlPermissionTest, AnswersEachQuery) {
  const CtlCase& c = GetParam();
  testing_support::ScopedTempDir dir;
  testing_support::WriteFileOrDie(dir.File("manifest.json"), kManifest);
  std::vector<std::string> args = {"permission", dir.File("manifest.json")};
  args.insert(args.end(), c.queries.begin(), c.queries.end());
  const ToolResult result = RunTool(PLEXORECTL_PATH, args);
  EXPECT_EQ(c.out, result.out);
  EXPECT_EQ(c.exit_code, result.exit_code) << result.err;
  EXPECT_EQ("", result.err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlexorectlPermissionTest,
    testing::Values(
        CtlCase{"all_allowed",
                {"api:hcbrowser.history.search", "api:HCBROWSER.BOOKMARKS.GETTREE",
                 "api:extension.invoke.register", "url:http://www.halcy.cn/a",
                 "url:file:///home/u/x.txt", "api:hcbrowser.history.getFrequently\t"},
                "allowed\nallowed\nallowed\nallowed\nallowed\nallowed\n",
                0},
        CtlCase{"one_refused",
                {"api:hcbrowser.history.search", "api:hcbrowser.history.getFrequently",
                 "url:http://halcy.com/"},
                "allowed\nrefused\nrefused\n",
                1},
        CtlCase{"unknown_group_grants_nothing", {"api:hcbrowser.tabs.query"}, "refused\n", 1},
        CtlCase{"url_outside", {"url:https://www.halcy.cn/"}, "refused\n", 1},
        CtlCase{"empty_name", {"api:"}, "refused\n", 1}));

TEST(PlexorectlPermissionCommandTest, ReadsTheManifestFromStandardInput) {
  const ToolResult result =
      RunTool(PLEXORECTL_PATH, {"permission", "-", "url:http://a.com/x", "api:hcbrowser.xhr.send"},
              R"({"permissions":["<all_urls>","XHR"]})");
  EXPECT_EQ("allowed\nallowed\n", result.out);
  EXPECT_EQ(0, result.exit_code);
}

TEST(PlexorectlPermissionCommandTest, AManifestWithoutPermissionsGrantsOnlyTheFreeNames) {
  const ToolResult result = RunTool(
      PLEXORECTL_PATH, {"permission", "-", "api:extension.xmpp.sendmessage", "url:http://a.com/"},
      R"({"name":"x"})");
  EXPECT_EQ("allowed\nrefused\n", result.out);
  EXPECT_EQ(1, result.exit_code);
}

struct BadCase {
  const char* name;
  std::vector<std::string> args;
  std::string input;
  int exit_code;
  std::string err_start;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class PlexorectlPermissionBadInputTest : public testing::TestWithParam<BadCase> {};

TEST_P(PlexorectlPermissionBadInputTest, FailsWithAMessage) {
  const BadCase& c = GetParam();
  std::vector<std::string> args = {"permission"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const ToolResult result = RunTool(PLEXORECTL_PATH, args, c.input);
  EXPECT_EQ(c.exit_code, result.exit_code);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(c.err_start, result.err.substr(0, c.err_start.size())) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlexorectlPermissionBadInputTest,
    testing::Values(BadCase{"no_manifest", {}, "", 2, "plexorectl permission: no manifest given\n"},
                    BadCase{"no_query", {"-"}, "{}", 2, "plexorectl permission: no query given\n"},
                    BadCase{"bad_query",
                            {"-", "api:x", "host:y"},
                            "{}",
                            2,
                            "plexorectl permission: query 'host:y' is not api:NAME or url:URL\n"},
                    BadCase{"not_an_object",
                            {"-", "api:x"},
                            "[1,2]",
                            1,
                            "plexorectl permission: the manifest is not a JSON object\n"},
                    BadCase{"not_json",
                            {"-", "api:x"},
                            "{\"permissions\":",
                            1,
                            "plexorectl permission: the manifest is not a JSON object\n"},
                    BadCase{"missing_file",
                            {"/nonexistent/dir/manifest.json", "api:x"},
                            "",
                            1,
                            "plexorectl permission: "}));

}  // namespace
