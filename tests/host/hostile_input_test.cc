// plexore-host against hostile and unlucky input, run for real on a temporary data root: each
// case checks the exit status, the message, that nothing outside the data root changed and that
// nothing inside was lost.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string>

#include "support/temp_env.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileOrEmpty;
using testing_support::WriteFileOrDie;

// Every entry below `root` without following links: files by content, directories and links
// by kind, so that any change, loss or planted entry shows. The profile lock is left out.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().lexically_relative(root).string();
    if (it->path().filename() == "profile.lock") continue;  // each session writes its pid there
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      tree[name] = "link:" + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[name] = "dir";
    } else if (fs::is_regular_file(status)) {
      tree[name] = ReadFileOrEmpty(it->path().string());
    } else {
      tree[name] = "special";
    }
  }
  return tree;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Work());
    ASSERT_EQ(0, Host("list")) << "seeds the built-in set";
  }
  // Runs `plexore-host ARGS` from the work folder (so that a relative path would land there);
  // stdout and stderr both land in `out`. `env` ("NAME=VALUE ...") overrides the environment.
  // `wrapper` runs the host under another command (such as timeout).
  int Host(const std::string& args, std::string* out = nullptr, const std::string& env = "",
           const std::string& wrapper = "") {
    std::string ignored;
    return testing_support::RunCommand("cd " + Work() + " && HALCY_APPDATA=" + DataRoot() +
                                           " HALCY_REGISTRY=" + dir_.File("registry.reg") + " " +
                                           env + " " + wrapper + PLEXORE_HOST + " " + args,
                                       out ? out : &ignored, true);
  }
  std::string Work() const { return dir_.File("work"); }
  std::string DataRoot() const { return dir_.File("appdata"); }
  std::string DataDirectory() const {
    return DataRoot() + "/halcy/browser/SysData/localextensions";
  }
  std::string Store() const { return DataDirectory() + "/extdb_v2.json"; }
  std::string Source(const std::string& name, const std::string& manifest) {
    const std::string path = dir_.File("sources/" + name);
    fs::create_directories(path);
    WriteFileOrDie(path + "/manifest.json", manifest);
    return path;
  }
  std::set<std::string> Ids() {
    std::string out;
    EXPECT_EQ(0, Host("list", &out)) << out;
    std::set<std::string> ids;
    for (const std::string& row : testing_support::SplitLines(out)) {
      if (row.find('\t') != std::string::npos) ids.insert(row.substr(0, row.find('\t')));
    }
    ids.erase("id");
    return ids;
  }
  // Runs `args`, expects `code` and `message`, and that the temporary folder (data root, work
  // folder, sources) is exactly as it was.
  void ExpectRefusedAndNothingChanged(const std::string& args, int code, const std::string& message,
                                      const std::string& env = "") {
    SCOPED_TRACE(args);
    const auto before = Snapshot(dir_.path());
    std::string out;
    EXPECT_EQ(code, Host(args, &out, env)) << out;
    EXPECT_NE(std::string::npos, out.find(message)) << out;
    ExpectSameTree(before, Snapshot(dir_.path()));
  }
  // Names only the entries that differ. The statistics log of each session start only grows.
  static void ExpectSameTree(const std::map<std::string, std::string>& before,
                             const std::map<std::string, std::string>& after) {
    for (const auto& [name, content] : before) {
      auto it = after.find(name);
      const bool kept =
          it != after.end() && (name.ends_with("statistics.jsonl") ? it->second.starts_with(content)
                                                                   : it->second == content);
      EXPECT_TRUE(kept) << name << " changed or went";
    }
    for (const auto& [name, content] : after)
      EXPECT_TRUE(before.count(name)) << name << " appeared";
  }

  testing_support::ScopedTempDir dir_;
};

// A store that cannot be used stops the session before anything is copied or written; the
// folder named like the id in the working directory is never touched.
TEST_F(HostileInputTest, AStoreThatIsNotARegularFileStopsEverySessionAndChangesNothing) {
  fs::create_directories(Work() + "/victim");
  WriteFileOrDie(Work() + "/victim/keep", "mine");
  const std::string source = Source("victim", R"({"name":"V","version":"1"})");
  const std::string saved = ReadFileOrEmpty(Store());
  struct Case {
    const char* kind;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"is a character device", [&] { fs::create_symlink("/dev/null", Store()); }},
      {"is a directory", [&] { fs::create_directory(Store()); }},
      {"is a FIFO", [&] { ASSERT_EQ(0, mkfifo(Store().c_str(), 0600)); }},
  };
  for (const Case& c : cases) {
    fs::remove(Store());
    c.plant();
    for (const std::string& args : {"install " + source, std::string("list")}) {
      ExpectRefusedAndNothingChanged(args, 1, "the extension store " + Store() + " " + c.kind);
    }
  }
  fs::remove(Store());
  WriteFileOrDie(Store(), saved);
  EXPECT_EQ(3u, Ids().size());
}

TEST_F(HostileInputTest, ReservedAndMalformedIdsAreRefusedWithTheReason) {
  const std::string source = Source("s", R"({"name":"S","version":"1"})");
  for (const char* id :
       {"extdb_v2.json", "EXTDB_V2.JSON", "extdb_v2.json.tmp-123456", "localextensionversion.json",
        "updatetemp", "DownloadTemp", "UnFinishTask.ini", "extensionunloadlist.ini", "setup.json",
        "LocalSelectedExtensions.json", "pagenotesbackups"}) {
    ExpectRefusedAndNothingChanged("install " + source + " --id " + id, 2,
                                   std::string("'") + id + "' is reserved");
  }
  for (const char* id : {"..", ".hidden", "a/b", "a\\\\b"}) {
    ExpectRefusedAndNothingChanged(std::string("install ") + source + " --id '" + id + "'", 2,
                                   "is not a usable extension id");
  }
}

TEST_F(HostileInputTest, SourcesThatWouldReachOutsideAreRefusedWhole) {
  const std::string links = Source("links", R"({"name":"L","version":"1"})");
  fs::create_symlink("/etc/passwd", links + "/passwd");
  const std::string dir_link = Source("dirlink", R"({"name":"L","version":"1"})");
  fs::create_directories(dir_link + "/sub");
  fs::create_directory_symlink("/etc", dir_link + "/sub/etc");
  const std::string fifo = Source("fifo", R"({"name":"F","version":"1"})");
  ASSERT_EQ(0, mkfifo((fifo + "/pipe").c_str(), 0600));
  const std::string big =
      Source("big", R"({"name":"B","version":"1","pad":")" + std::string(1024 * 1024, 'x') + "\"}");
  ExpectRefusedAndNothingChanged("install " + links, 1,
                                 "the source holds a symbolic link, " + links + "/passwd");
  ExpectRefusedAndNothingChanged("install " + dir_link, 1, dir_link + "/sub/etc");
  ExpectRefusedAndNothingChanged("install " + fifo, 1, "neither a regular file nor a directory");
  ExpectRefusedAndNothingChanged("install " + big, 1, "the limit is 1048576");
  ExpectRefusedAndNothingChanged("update " + links + " --id pagenotes", 1, "symbolic link");
  // The installed copy itself, or a folder inside it, is never the source of its own reinstall.
  const std::string copy = DataDirectory() + "/again";
  ASSERT_EQ(0, Host("install " + Source("again", R"({"version":"1","setuponline":"1"})")));
  fs::create_directories(copy + "/sub");
  WriteFileOrDie(copy + "/sub/manifest.json", R"({"version":"2","setuponline":"1"})");
  ExpectRefusedAndNothingChanged("install " + copy + "/sub --id again", 1, "lies inside");
  WriteFileOrDie(DataRoot() + "/manifest.json", R"({"version":"3","setuponline":"1"})");
  ExpectRefusedAndNothingChanged("install " + DataRoot() + " --id again", 1, "contains the target");
}

// The states a reinstall killed midway can leave: the next session puts the old version back
// unless the store already names the new one.
TEST_F(HostileInputTest, AReinstallKilledMidwayLeavesTheOldVersionWhole) {
  const std::string v1 = R"({"name":"R","version":"1","setuponline":"1"})";
  const std::string v2 = R"({"name":"R","version":"2","setuponline":"1"})";
  ASSERT_EQ(0, Host("install " + Source("r", v1)));
  const std::string copy = DataDirectory() + "/r";
  WriteFileOrDie(copy + "/data", "old");
  const auto installed = Snapshot(copy);
  struct Case {
    const char* when;
    bool new_copy_in_place;
  };
  for (const Case& c : {Case{"after the old copy was moved aside", false},
                        Case{"after the new copy was moved in", true}}) {
    SCOPED_TRACE(c.when);
    fs::create_directories(DataDirectory() + "/.r.staging");
    fs::rename(copy, DataDirectory() + "/.r.previous");
    if (c.new_copy_in_place) {
      fs::create_directories(copy);
      WriteFileOrDie(copy + "/manifest.json", v2);
    }
    std::string out;
    ASSERT_EQ(0, Host("list", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("r\t1\t0\t1\tR\t")) << out;
    ExpectSameTree(installed, Snapshot(copy));
    EXPECT_FALSE(fs::exists(DataDirectory() + "/.r.previous"));
    EXPECT_FALSE(fs::exists(DataDirectory() + "/.r.staging"));
  }
  // A reinstall that completed keeps the new files once the store names them.
  ASSERT_EQ(0, Host("install " + Source("r", v2)));
  fs::create_directories(DataDirectory() + "/.r.previous");
  std::string out;
  ASSERT_EQ(0, Host("list", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("r\t1\t0\t2\tR\t")) << out;
  EXPECT_EQ(v2, ReadFileOrEmpty(copy + "/manifest.json"));
  EXPECT_FALSE(fs::exists(DataDirectory() + "/.r.previous"));
}

// A reinstall killed with SIGKILL at moments spread over its run: every next session finds one
// whole version, the record and the files agreeing.
TEST_F(HostileInputTest, AReinstallKilledAtAnyMomentLeavesOneWholeVersion) {
  std::map<std::string, std::string> versions;  // version -> source folder
  for (const char* version : {"1", "2"}) {
    const std::string source =
        Source(std::string("k") + version,
               std::string(R"({"name":"K","version":")") + version + R"(","setuponline":"1"})");
    for (int i = 0; i < 200; ++i) {
      WriteFileOrDie(source + "/f" + std::to_string(i), std::string(4096, version[0]));
    }
    versions[version] = source;
  }
  ASSERT_EQ(0, Host("install " + versions["1"] + " --id k"));
  const std::string copy = DataDirectory() + "/k";
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const std::string next = round % 2 ? "1" : "2";
    // `timeout -s KILL` ends the reinstall after a delay that moves through its whole run.
    char delay[32];
    std::snprintf(delay, sizeof(delay), "timeout -s KILL %.3f ", 0.02 + 0.04 * round);
    Host("install " + versions[next] + " --id k", nullptr, "", delay);
    std::string out;
    ASSERT_EQ(0, Host("list", &out)) << out;
    const size_t row = out.find("k\t1\t0\t");
    ASSERT_NE(std::string::npos, row) << out;
    const std::string listed = out.substr(row + 6, 1);
    auto expected = Snapshot(versions[listed]);
    ExpectSameTree(expected, Snapshot(copy));
  }
}

TEST_F(HostileInputTest, TwoProcessesInstallingAtOnceLoseNoRecord) {
  std::string batch[2];
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < 20; ++i) {
      const std::string name = "p" + std::to_string(p) + "x" + std::to_string(i);
      batch[p] += " " + Source(name, R"({"name":")" + name + R"(","version":"1"})");
    }
  }
  auto first = std::async(std::launch::async, [&] { return Host("install" + batch[0]); });
  auto second = std::async(std::launch::async, [&] { return Host("install" + batch[1]); });
  EXPECT_EQ(0, first.get());
  EXPECT_EQ(0, second.get());
  EXPECT_EQ(43u, Ids().size()) << "the three seeded extensions and the forty new ones";
}

TEST_F(HostileInputTest, ASecondSessionWaitsForTheProfileThenNamesItsHolder) {
  const std::string lock_path = DataRoot() + "/halcy/browser/profile.lock";
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  const std::string pid = std::to_string(getpid());
  ASSERT_EQ(static_cast<ssize_t>(pid.size()), pwrite(fd, pid.data(), pid.size(), 0));
  ExpectRefusedAndNothingChanged(
      "list", 1, "the profile " + DataRoot() + "/halcy/browser is in use by process " + pid);
  close(fd);
  EXPECT_EQ(3u, Ids().size()) << "the lock ends with its holder";
}

TEST_F(HostileInputTest, BadScenariosAndPathsAreRefusedWithThePath) {
  fs::create_directories(dir_.File("scenario-dir"));
  ExpectRefusedAndNothingChanged(
      "run --scenario " + dir_.File("scenario-dir"), 2,
      "cannot read the scenario " + dir_.File("scenario-dir") + ": it is a directory");
  ExpectRefusedAndNothingChanged("run --scenario " + dir_.File("none.jsonl"), 2,
                                 "cannot read the scenario " + dir_.File("none.jsonl"));
  ExpectRefusedAndNothingChanged("list --data-root " + dir_.File("a\\\\b"), 2,
                                 "the data root " + dir_.File("a\\b") + " contains a backslash");
  ExpectRefusedAndNothingChanged("list", 2, "contains a backslash", "HALCY_REGISTRY='a\\b'");
  ExpectRefusedAndNothingChanged("list", 1, "cannot read " + DataRoot() + ": it is a directory",
                                 "HALCY_REGISTRY=" + DataRoot());
}

}  // namespace
