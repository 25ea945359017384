// Runs the management commands of plexore-host for real, each in a process of its own, so that
// every step also proves that the change survives a restart: install, list, disable, enable,
// remove, update, their refusals, and a kill -9 in the middle of a burst of installs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "store_test_env.h"
#include "support/temp_env.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileOrEmpty;
using testing_support::WriteFileOrDie;

class ManageCommandTest : public ::testing::Test {
 protected:
  // Runs `plexore-host ARGS --data-root ROOT`; stdout and stderr both land in `out`.
  int Host(const std::string& args, std::string* out = nullptr) {
    std::string ignored;
    return testing_support::RunCommand("HALCY_REGISTRY=" + dir_.File("registry.reg") + " " +
                                           PLEXORE_HOST + " " + args + " --data-root " + DataRoot(),
                                       out ? out : &ignored, true);
  }
  std::string DataRoot() const { return dir_.File("appdata"); }
  std::string DataDirectory() const {
    return DataRoot() + "/halcy/browser/SysData/localextensions";
  }
  std::string StorePath() const { return DataDirectory() + "/extdb_v2.json"; }
  // A source directory holding `manifest` as manifest.json (none when empty).
  std::string Source(const std::string& name, const std::string& manifest) {
    const std::string path = dir_.File("sources/" + name);
    fs::create_directories(path);
    if (!manifest.empty()) WriteFileOrDie(path + "/manifest.json", manifest);
    return path;
  }
  // The rows of `list` without its header, as "id state flags version name directory".
  std::vector<std::string> List() {
    std::string out;
    EXPECT_EQ(0, Host("list", &out)) << out;
    std::vector<std::string> rows = testing_support::SplitLines(out);
    EXPECT_FALSE(rows.empty());
    if (!rows.empty()) {
      EXPECT_EQ("id\tstate\tflags\tversion\tname\tdirectory", rows[0]);
      rows.erase(rows.begin());
    }
    return rows;
  }
  std::string Row(const std::string& id) {
    for (const std::string& row : List()) {
      if (row.starts_with(id + "\t")) return row;
    }
    return "";
  }

  testing_support::ScopedTempDir dir_;
};

TEST_F(ManageCommandTest, InstallListDisableEnableRemoveEachSurviveARestart) {
  const std::string source = std::string(PLEXORE_EXAMPLES) + "/translatebar";
  std::string out;
  ASSERT_EQ(0, Host("install " + source + " --id tb2", &out)) << out;
  EXPECT_EQ("installed tb2 2.0.1 from " + source + "\n", out);
  const std::string copy = DataDirectory() + "/tb2";
  EXPECT_EQ("tb2\t1\t0\t2.0.1\tTranslate Bar\t" + copy, Row("tb2"));
  EXPECT_EQ(4u, List().size()) << "the three seeded extensions and the new one";

  ASSERT_EQ(0, Host("disable tb2", &out)) << out;
  EXPECT_EQ("disabled tb2\n", out);
  EXPECT_EQ("tb2\t0\t0\t2.0.1\tTranslate Bar\t" + copy, Row("tb2"));
  ASSERT_EQ(0, Host("enable tb2", &out)) << out;
  EXPECT_EQ("enabled tb2\n", out);
  EXPECT_EQ("tb2\t1\t0\t2.0.1\tTranslate Bar\t" + copy, Row("tb2"));

  ASSERT_EQ(0, Host("remove tb2", &out)) << out;
  EXPECT_EQ("removed tb2\n", out);
  EXPECT_EQ("", Row("tb2"));
  EXPECT_EQ(3u, List().size());
  EXPECT_FALSE(fs::exists(copy)) << "the installed copy is deleted";
  EXPECT_TRUE(fs::exists(source + "/manifest.json")) << "the source is never touched";

  // A native library's directory waits on the pending-deletion list while the DLL process may
  // hold the library; uninitialize works the list off, with no DLL process left to hold it.
  ASSERT_TRUE(fs::exists(DataDirectory() + "/weatherdesk/manifest.json"));
  ASSERT_EQ(0, Host("remove weatherdesk", &out)) << out;
  EXPECT_FALSE(fs::exists(DataDirectory() + "/weatherdesk"));
  EXPECT_EQ(2u, List().size());
}

// The name's quotes, backslash and non-ASCII letters go through the store file unchanged.
TEST_F(ManageCommandTest, StateFlagsAndAReinstallThatTheManifestAllows) {
  const std::string manifest =
      R"({"name":"T \"q\" \\ \u00e9\u4e2d","version":"1.0","setuponline":"1"})";
  const std::string name = "T \"q\" \\ \xc3\xa9\xe4\xb8\xad";
  const std::string source = Source("tool", manifest);
  std::string out;
  ASSERT_EQ(0, Host("install " + source + " --state 0 --flags 2", &out)) << out;
  EXPECT_EQ("tool\t0\t2\t1.0\t" + name + "\t" + DataDirectory() + "/tool", Row("tool"));
  WriteFileOrDie(source + "/manifest.json", R"({"name":"Tool","version":"1.1","setuponline":"1"})");
  ASSERT_EQ(0, Host("install " + source, &out)) << out;
  EXPECT_EQ("reinstalled tool 1.1 from " + source + "\n", out);
  // A reinstall keeps the record's state and flags and takes the new manifest.
  EXPECT_EQ("tool\t0\t2\t1.1\tTool\t" + DataDirectory() + "/tool", Row("tool"));
}

TEST_F(ManageCommandTest, UpdateIsStagedForTheNextStartAndTheOldCopyGoesThen) {
  ASSERT_EQ(0, Host("list"));  // seeds the built-in set
  const std::string old_copy = DataDirectory() + "/weatherdesk";
  ASSERT_TRUE(fs::exists(old_copy));
  const std::string source = Source("w2", R"({"name":"Weather 2","version":"1.0.0"})");
  std::string out;
  ASSERT_EQ(0, Host("update " + source + " --id weatherdesk", &out)) << out;
  const std::string staged = DataDirectory() + "/updatetemp/weatherdesk-1.0.0";
  EXPECT_EQ("update of weatherdesk to 1.0.0 staged in " + staged +
                "; it takes effect at the next start\n",
            out);
  EXPECT_EQ("weatherdesk\t1\t0\t1.0.0\tWeather 2\t" + staged, Row("weatherdesk"));
  EXPECT_FALSE(fs::exists(old_copy)) << "deleted at the start that took the update";
  EXPECT_TRUE(fs::exists(staged + "/manifest.json"));
  // The same version again is the one in use.
  EXPECT_EQ(1, Host("update " + source + " --id weatherdesk", &out));
  EXPECT_NE(std::string::npos, out.find("version 1.0.0 of weatherdesk is the one in use")) << out;
}

// An extension that uninstalls itself with "extension.invoke.utility.uninstall" is gone for
// good: the command goes through the permission gate, the common command host and the manager.
// An extension's own commands reach the real manager: its uploaded log record lands in the
// statistics, and after "extension.invoke.utility.uninstall" it is gone for good.
TEST_F(ManageCommandTest, AnExtensionThatUninstallsItselfIsGoneAfterTheRestart) {
  const std::string source = std::string(PLEXORE_EXAMPLES) + "/pagenotes";
  ASSERT_EQ(0, Host("install " + source + " --id notes2"));
  const std::string copy = DataDirectory() + "/notes2";
  ASSERT_TRUE(fs::exists(copy + "/manifest.json"));
  WriteFileOrDie(
      dir_.File("uninstall.jsonl"),
      R"({"op":"bp","ext":"notes2","command":"extension.invoke.cmd.uploadlog",)"
      R"("args":{"param":{"type":"crash","loguploadtype":3,"content":{"k":1}}},"context":6})"
      "\n"
      R"({"op":"bp","ext":"notes2","command":"extension.invoke.utility.uninstall",)"
      R"("args":"{}","context":7})"
      "\n");
  std::string out;
  ASSERT_EQ(0, Host("run --scenario " + dir_.File("uninstall.jsonl"), &out)) << out;
  EXPECT_EQ("", Row("notes2"));
  EXPECT_EQ(3u, List().size()) << "the seeded extensions stay";
  EXPECT_FALSE(fs::exists(copy));
  const std::string statistics =
      ReadFileOrEmpty(DataRoot() + "/halcy/browser/SysData/statistics.jsonl");
  EXPECT_NE(std::string::npos,
            statistics.find(R"("category":"ExtensionUploadLog","key":"crash","kind":2,)"
                            R"("properties":{"AppId":"notes2","LogUploadType":"3",)"
                            R"("Content":"{\"k\":1}"})"))
      << statistics;
}

struct Refusal {
  const char* name;
  const char* args;     // "%s" stands for the sources directory
  int code;             // 1 refused by a check, 2 usage error
  const char* message;  // expected in the output
};

class ManageRefusalTest : public ManageCommandTest,
                          public ::testing::WithParamInterface<Refusal> {};

TEST_P(ManageRefusalTest, IsRefusedClearlyAndTheStoreIsUntouched) {
  Source("nomanifest", "");
  Source("array", "[1,2]");
  Source("broken", "{\"name\":");
  Source("future", R"({"name":"F","version":"1","lowestbrowser":"99.0"})");
  Source("translatebar", R"({"name":"T","version":"9"})");
  ASSERT_EQ(0, Host("list"));
  const std::string before = ReadFileOrEmpty(StorePath());
  ASSERT_FALSE(before.empty());
  std::string args = GetParam().args;
  const size_t at = args.find("%s");
  if (at != std::string::npos) args.replace(at, 2, dir_.File("sources"));
  std::string out;
  EXPECT_EQ(GetParam().code, Host(args, &out)) << out;
  EXPECT_NE(std::string::npos, out.find(GetParam().message)) << out;
  EXPECT_EQ(before, ReadFileOrEmpty(StorePath()));
  EXPECT_FALSE(fs::exists(DataDirectory() + "/future")) << "no copy is left behind";
}

INSTANTIATE_TEST_SUITE_P(
    All, ManageRefusalTest,
    ::testing::Values(
        Refusal{"missing_directory", "install %s/none", 1, "no directory "},
        Refusal{"no_manifest", "install %s/nomanifest", 1, "no manifest.json in "},
        Refusal{"manifest_not_object", "install %s/array", 1,
                "/array/manifest.json is not a JSON object"},
        Refusal{"manifest_not_json", "install %s/broken", 1,
                "/broken/manifest.json is not valid JSON"},
        Refusal{"browser_too_old", "install %s/future", 1,
                "the extension needs browser version 99.0 or later; this browser is 6.5.1.2"},
        Refusal{"update_browser_too_old", "update %s/future --id pagenotes", 1,
                "needs browser version 99.0"},
        Refusal{"reinstall_not_allowed", "install %s/translatebar", 1,
                "translatebar is installed and its manifest does not allow a reinstall"},
        Refusal{"unknown_id", "disable nosuch", 1, "no installed extension nosuch"},
        Refusal{"update_unknown_id", "update %s/array --id nosuch", 1,
                "no installed extension nosuch"},
        Refusal{"not_uninstallable", "remove pagenotes", 1,
                "pagenotes may not be uninstalled (flags 1)"},
        Refusal{"bad_id", "enable a,b", 2, "'a,b' is not a usable extension id"},
        Refusal{"bad_state", "install %s/future --state 3", 2, "--state takes 0, 1 or 2"},
        Refusal{"update_without_id", "update %s/future", 2, "update needs --id ID"},
        Refusal{"id_with_two_directories", "install %s/a %s/b --id x", 2,
                "--id applies to a single directory"},
        Refusal{"option_elsewhere", "enable pagenotes --flags 1", 2,
                "--flags does not apply to enable"},
        Refusal{"list_argument", "list extra", 2, "list takes no argument"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// The child installs the sources one after the other and prints a line after each one is stored;
// it is killed with SIGKILL after `GetParam()` lines.
class InstallBurstKillTest : public ManageCommandTest, public ::testing::WithParamInterface<int> {};

TEST_P(InstallBurstKillTest, EveryReportedInstallIsInTheStoreAfterKillNine) {
  ASSERT_EQ(0, Host("list"));
  std::vector<std::string> args = {PLEXORE_HOST, "install", "--data-root", DataRoot()};
  for (int i = 0; i < 40; ++i) {
    const std::string name = "burst" + std::to_string(i);
    args.push_back(Source(name, R"({"name":")" + name + R"(","version":"1.0"})"));
  }
  const std::vector<std::string> lines = host_testing::KillNineAfterLines(GetParam(), [&] {
    setenv("HALCY_REGISTRY", dir_.File("registry.reg").c_str(), 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
  });
  std::set<std::string> reported, listed;
  for (const std::string& line : lines) {
    EXPECT_EQ(0u, line.rfind("installed burst", 0)) << line;
    reported.insert(line.substr(10, line.find(' ', 10) - 10));
  }
  for (const std::string& row : List()) listed.insert(row.substr(0, row.find('\t')));
  for (const std::string& id : reported) EXPECT_EQ(1u, listed.count(id)) << id;
  EXPECT_LE(listed.size(), 3u + reported.size() + 1) << "at most the install under way more";
  for (const auto& entry : fs::directory_iterator(DataDirectory())) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".corrupt-"))
        << "the store was found damaged";
  }
}

INSTANTIATE_TEST_SUITE_P(AfterSomeInstalls, InstallBurstKillTest, ::testing::Values(1, 12));

}  // namespace
