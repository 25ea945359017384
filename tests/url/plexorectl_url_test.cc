// The url and pattern subcommands of plexorectl, run as the real binary.
#include <gtest/gtest.h>

#include <string>

#include "tools/tool_runner.h"

namespace {

using plexore_test::RunTool;
using plexore_test::ToolResult;

TEST(PlexorectlUrlTest, WritesOneEscapedObjectPerUrlWithPresentComponents) {
  ToolResult r = RunTool(PLEXORECTL_PATH, {"url", "HTTP://User@Ab.CD:8080/a/../b?#", "ab.cd:80",
                                           "javascript:\"\\\x01", "file:///\xFF"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            "{\"valid\":true,\"spec\":\"http://User@ab.cd:8080/b?#\",\"scheme\":\"http\","
            "\"username\":\"User\",\"host\":\"ab.cd\",\"port\":\"8080\",\"path\":\"/b\","
            "\"query\":\"\",\"ref\":\"\"}\n"
            "{\"valid\":false,\"spec\":\"\"}\n"
            "{\"valid\":true,\"spec\":\"javascript:\\\"\\\\%01\",\"scheme\":\"javascript\","
            "\"path\":\"\\\"\\\\%01\"}\n"
            "{\"valid\":true,\"spec\":\"file:///\xEF\xBF\xBD\",\"scheme\":\"file\",\"host\":\"\","
            "\"path\":\"/\xEF\xBF\xBD\"}\n");
  r = RunTool(PLEXORECTL_PATH, {"url"});  // without a URL: a usage error
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
}

TEST(PlexorectlPatternTest, WritesResultThenOneLinePerUrl) {
  ToolResult r = RunTool(PLEXORECTL_PATH,
                         {"pattern", "*://*.a.com/*", "http://x.a.com/", "ftp://a.com/", "a.com"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0 Success.\nmatch\nno match\nno match\n");
  // A pattern that does not parse matches nothing.
  r = RunTool(PLEXORECTL_PATH, {"pattern", "http://h:65536/*", "http://h:65536/"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "7 Invalid port.\nno match\n");
}

}  // namespace
