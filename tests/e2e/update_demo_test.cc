// scripts/update_demo.sh run for real: the example update server on 127.0.0.1, plexore-host
// with its proxy setting pointed there, the tracker's downloads, the staged update taken at the
// next start and the list that shows it.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace {

namespace ts = testing_support;

struct DemoRun {
  int status = -1;
  std::string out;
  std::string err;
  std::string server_log;
  std::map<std::string, std::vector<std::string>> rows;  // list rows by id, split at tabs
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// Runs the script once for the whole suite: it takes a few seconds and every test reads the
// same run.
DemoRun RunScript() {
  ts::ScopedTempDir dir;
  DemoRun run;
  const std::string work = dir.File("work");
  const std::string err = dir.File("stderr.txt");
  run.status =
      ts::RunCommand(std::string("bash ") + PLEXORE_SOURCE_DIR + "/scripts/update_demo.sh " +
                         PLEXORE_BIN_DIR + " " + PLEXORE_UPDATE_PACKAGES + " " + work + " 2>" + err,
                     &run.out);
  run.err = ts::ReadFileOrEmpty(err);
  run.server_log = ts::ReadFileOrEmpty(work + "/server.log");
  bool in_list = false;
  for (const std::string& line : ts::SplitLines(run.out)) {
    if (line == "id\tstate\tflags\tversion\tname\tdirectory") {
      in_list = true;
    } else if (in_list) {
      std::vector<std::string> fields = SplitTabs(line);
      if (fields.size() == 6) run.rows[fields[0]] = fields;
    }
  }
  return run;
}

const DemoRun& TheDemoRun() {
  static const DemoRun run = RunScript();
  return run;
}

TEST(UpdateDemoTest, ListShowsTheUpdatedBuiltinAndTheNewExtension) {
  const DemoRun& run = TheDemoRun();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_TRUE(run.rows.count("translatebar")) << run.out;
  EXPECT_EQ(run.rows.at("translatebar")[3], "2.1.0");
  EXPECT_NE(run.rows.at("translatebar")[5].find("updatetemp"), std::string::npos);
  ASSERT_TRUE(run.rows.count("readinglist")) << run.out;
  EXPECT_EQ(run.rows.at("readinglist")[3], "1.0.0");
  EXPECT_EQ(run.rows.at("readinglist")[4], "Reading List");
  // The server's entry for pagenotes names the installed version: nothing to do.
  ASSERT_TRUE(run.rows.count("pagenotes")) << run.out;
  EXPECT_EQ(run.rows.at("pagenotes")[3], "1.2.0");
  EXPECT_EQ(run.rows.size(), 4u) << run.out;
}

// Every start asks for both lists again (the later ones find nothing newer), but each package
// is fetched once, and the current pagenotes not at all.
TEST(UpdateDemoTest, ServerSawBothListsAndOnlyThePackagesToFetch) {
  const DemoRun& run = TheDemoRun();
  ASSERT_EQ(run.status, 0) << run.err;
  std::map<std::string, int> counts;
  for (const std::string& line : ts::SplitLines(run.server_log)) ++counts[line];
  EXPECT_EQ(counts["GET /packages/translatebar.zip"], 1) << run.server_log;
  EXPECT_EQ(counts["GET /packages/readinglist.zip"], 1);
  EXPECT_GE(counts["POST /extlist comp_names=extsetup"], 1);
  EXPECT_GE(counts["POST /extlist comp_names=extupdate"], 1);
  EXPECT_EQ(counts.size(), 4u) << run.server_log;
}

TEST(UpdateDemoTest, DownloadProgressAndInstallsAreOnStandardError) {
  const DemoRun& run = TheDemoRun();
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* id : {"translatebar", "readinglist"}) {
    SCOPED_TRACE(id);
    const std::string url = std::string("http://updates.plexore.test/packages/") + id + ".zip";
    EXPECT_NE(run.err.find("ext; extlist: " + url + " "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string("extlist: '") + id + "' install result 0x0"),
              std::string::npos);
    EXPECT_EQ(run.out.find("extlist: " + url), std::string::npos);  // progress is not output
  }
}

// The configuration that switches the tracker on lives only in the demo's browser copy.
TEST(UpdateDemoTest, BuildFolderGetsNoUpdateConfiguration) {
  ASSERT_EQ(TheDemoRun().status, 0);
  EXPECT_FALSE(std::filesystem::exists(std::string(PLEXORE_BIN_DIR) + "/extensionMgrConfig.ini"));
  EXPECT_FALSE(std::filesystem::exists(std::string(PLEXORE_BIN_DIR) + "/autoupdate.ini"));
}

}  // namespace
