// The real plexore-host against the real libplexore.so: the entry points, the classes through
// the registry, the start-up of the extension manager, and the management commands, each in a
// process of its own, so that every step also proves that the change survives a restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_run.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing_support::ReadFileOrEmpty;
using testing_support::SplitLines;
using testing_support::WriteFileOrDie;

class HostTest : public host_testing::HostRunTest {};

TEST_F(HostTest, RegisterThenClassesActivatesAllTwelveAndUnregisterTakesThemAway) {
  std::string out;
  ASSERT_EQ(0, Host("register", &out)) << out;
  EXPECT_EQ("DllRegisterServer: 0x00000000\n", out);
  ASSERT_EQ(0, Host("classes", &out)) << out;  // 0: every class answered every interface
  const std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(13u, lines.size()) << out;
  EXPECT_EQ("DllCanUnloadNow: S_OK (0x00000000)", lines.back());
  EXPECT_THAT(out, HasSubstr("CCoExtensionContextMenuMgr.CCoExtensi.1"));
  ASSERT_EQ(0, Host("unregister", &out)) << out;
  EXPECT_EQ("DllUnregisterServer: 0x00000000\n", out);
  EXPECT_EQ(1, Host("classes", &out));
  EXPECT_THAT(out, HasSubstr("create failed: 0x80040154"));  // REGDB_E_CLASSNOTREG
}

// The stand-in of the data converter that the manager starts before seeding.
TEST_F(HostTest, PellwickTakesTheConverterArgumentsAndNoOther) {
  const std::string host = PLEXORE_HOST;
  const std::string pellwick = host.substr(0, host.rfind('/') + 1) + "Pellwick.exe";
  std::string out;
  EXPECT_EQ(0, Run(pellwick + " --action=convert --type=extension --dir=\"/tmp/a b\"", &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(2, Run(pellwick + " --bogus", &out));
  EXPECT_THAT(out, HasSubstr("unknown argument '--bogus'"));
}

TEST_F(HostTest, FirstRunSeedsTheBuiltInSetAndTheSecondReadsTheStore) {
  std::string out;
  ASSERT_EQ(0, Host("run --data-root " + DataRoot(), &out)) << out;
  std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_EQ("OnLocalExtensionList: pagenotes,translatebar,weatherdesk", lines[0]);
  EXPECT_EQ("OnFirstReady", lines[1]);
  const char* ids[] = {"pagenotes", "translatebar", "weatherdesk"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_THAT(lines[2 + i], testing::StartsWith(std::string("{ \"id\":\"") + ids[i] + "\""));
    EXPECT_THAT(lines[2 + i], HasSubstr("\"icon\":\"data:image/png;base64,iVBORw0K"));
  }
  // Flags 1 on the seeded record: may not be uninstalled.
  EXPECT_THAT(lines[2], HasSubstr("\"uninstall\":\"false\", \"candisable\":\"true\""));
  // The options page resolves into the user's copy of the extension, fragment kept.
  EXPECT_THAT(lines[3],
              HasSubstr("SysData\\\\localextensions\\\\translatebar\\\\options.html#general"));

  // Disable one extension in the stored database behind the browser's back.
  std::string text = ReadFileOrEmpty(Store());
  const std::string from = "\"id\":\"weatherdesk\",\"state\":1";
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << text;
  text.replace(at, from.size(), "\"id\":\"weatherdesk\",\"state\":0");
  WriteFileOrDie(Store(), text);
  ASSERT_EQ(0, Host("run", &out)) << out;
  lines = SplitLines(out);
  ASSERT_EQ(5u, lines.size()) << out;
  EXPECT_THAT(lines[4], HasSubstr("\"state\":\"0\""));
  EXPECT_THAT(lines[2], HasSubstr("\"state\":\"1\""));
}

class ManageCommandTest : public host_testing::HostRunTest {};

TEST_F(ManageCommandTest, InstallListDisableEnableRemoveEachSurviveARestart) {
  const std::string source = std::string(PLEXORE_EXAMPLES) + "/translatebar";
  const std::string copy = DataDirectory() + "/tb2";
  std::string out;
  ASSERT_EQ(0, Host("install " + source + " --id tb2", &out)) << out;
  EXPECT_EQ("installed tb2 2.0.1 from " + source + "\n", out);
  EXPECT_EQ("tb2\t1\t0\t2.0.1\tTranslate Bar\t" + copy, Row("tb2"));
  EXPECT_EQ(4u, List().size()) << "the three seeded extensions and the new one";
  for (const std::string state : {"0", "1"}) {
    const std::string command = state == "0" ? "disable" : "enable";
    ASSERT_EQ(0, Host(command + " tb2", &out)) << out;
    EXPECT_EQ(command + "d tb2\n", out);
    EXPECT_EQ("tb2\t" + state + "\t0\t2.0.1\tTranslate Bar\t" + copy, Row("tb2"));
  }
  ASSERT_EQ(0, Host("remove tb2", &out)) << out;
  EXPECT_EQ("removed tb2\n", out);
  EXPECT_EQ(3u, List().size());
  EXPECT_FALSE(fs::exists(copy)) << "the installed copy is deleted";
  EXPECT_TRUE(fs::exists(source + "/manifest.json")) << "the source is never touched";
  // A native library's directory waits on the pending-deletion list while the DLL process may
  // hold the library; uninitialize works the list off.
  ASSERT_EQ(0, Host("remove weatherdesk", &out)) << out;
  EXPECT_FALSE(fs::exists(DataDirectory() + "/weatherdesk"));
  EXPECT_EQ(2u, List().size());
}

// The name's quotes, backslash and non-ASCII letters go through the store file unchanged; a
// reinstall keeps the record's state and flags and takes the new manifest.
TEST_F(ManageCommandTest, StateFlagsAndAReinstallThatTheManifestAllows) {
  const std::string source =
      Source("tool", R"({"name":"T \"q\" \\ \u00e9\u4e2d","version":"1.0","setuponline":"1"})");
  std::string out;
  ASSERT_EQ(0, Host("install " + source + " --state 0 --flags 2", &out)) << out;
  EXPECT_EQ("tool\t0\t2\t1.0\tT \"q\" \\ \xc3\xa9\xe4\xb8\xad\t" + DataDirectory() + "/tool",
            Row("tool"));
  WriteFileOrDie(source + "/manifest.json", R"({"name":"Tool","version":"1.1","setuponline":"1"})");
  ASSERT_EQ(0, Host("install " + source, &out)) << out;
  EXPECT_EQ("reinstalled tool 1.1 from " + source + "\n", out);
  EXPECT_EQ("tool\t0\t2\t1.1\tTool\t" + DataDirectory() + "/tool", Row("tool"));
}

TEST_F(ManageCommandTest, UpdateIsStagedForTheNextStartAndTheOldCopyGoesThen) {
  const std::string old_copy = DataDirectory() + "/weatherdesk";
  const std::string source = Source("w2", R"({"name":"Weather 2","version":"1.0.0"})");
  ASSERT_EQ(0, Host("list"));  // seeds the built-in set
  ASSERT_TRUE(fs::exists(old_copy));
  std::string out;
  ASSERT_EQ(0, Host("update " + source + " --id weatherdesk", &out)) << out;
  const std::string staged = DataDirectory() + "/updatetemp/weatherdesk-1.0.0";
  EXPECT_EQ("update of weatherdesk to 1.0.0 staged in " + staged +
                "; it takes effect at the next start\n",
            out);
  EXPECT_EQ("weatherdesk\t1\t0\t1.0.0\tWeather 2\t" + staged, Row("weatherdesk"));
  EXPECT_FALSE(fs::exists(old_copy)) << "deleted at the start that took the update";
  EXPECT_TRUE(fs::exists(staged + "/manifest.json"));
  EXPECT_EQ(1, Host("update " + source + " --id weatherdesk", &out));
  EXPECT_NE(std::string::npos, out.find("version 1.0.0 of weatherdesk is the one in use")) << out;
}

// An extension's own commands reach the real manager through the permission gate and the common
// command host: its uploaded log record lands in the statistics, and after
// "extension.invoke.utility.uninstall" it is gone for good.
TEST_F(ManageCommandTest, AnExtensionThatUninstallsItselfIsGoneAfterTheRestart) {
  ASSERT_EQ(0, Host("install " + std::string(PLEXORE_EXAMPLES) + "/pagenotes --id notes2"));
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

}  // namespace
