// plexore-host against hostile and unlucky input, run for real on a temporary data root: each
// case checks the exit status, the message, that nothing outside the data root changed and that
// nothing inside was lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <string>

#include "host_run.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileOrEmpty;
using testing_support::SplitLines;
using testing_support::WriteFileOrDie;
using Tree = std::map<std::string, std::string>;

// The live entries of the cache store's journal (a later line for a name replaces the earlier
// one), without the browser's start counter, which each session counts by design.
std::string CacheStoreContent(const std::string& journal) {
  std::map<std::string, std::string> live;
  for (const std::string& line : SplitLines(journal)) {
    const std::string prefix = "{\"name\":\"";
    const size_t end = line.find('"', prefix.size());
    if (line.rfind(prefix, 0) != 0 || end == std::string::npos) {
      live["?" + line] = line;  // kept as it is: damage shows
      continue;
    }
    live[line.substr(prefix.size(), end - prefix.size())] = line;
  }
  live.erase("Pref_Browser_Start_Counter");
  std::string content;
  for (const auto& [name, line] : live) content += line + "\n";
  return content;
}

// Every entry below `root` without following links: files by a hash of their content (the
// cache store by its live entries), directories and links by kind. Left out: the profile lock
// and the statistics log, which each session writes by design.
Tree Snapshot(const fs::path& root) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const fs::file_status status = it->symlink_status();
    const std::string file = it->path().filename().string();
    if (file == "profile.lock" || file == "statistics.jsonl") continue;
    tree[it->path().lexically_relative(root).string()] =
        fs::is_symlink(status)     ? "link:" + fs::read_symlink(it->path()).string()
        : fs::is_directory(status) ? "dir"
        : fs::is_regular_file(status)
            ? std::to_string(std::hash<std::string>()(
                  file == "cachestore.jsonl"
                      ? CacheStoreContent(ReadFileOrEmpty(it->path().string()))
                      : ReadFileOrEmpty(it->path().string())))
            : "special";
  }
  return tree;
}

class HostileInputTest : public host_testing::HostRunTest {
 protected:
  void SetUp() override { ASSERT_EQ(0, Host("list")) << "seeds the built-in set"; }
  // Runs `args`, expects `code` and `message`, and that the whole temporary folder (data root,
  // work folder, sources) is exactly as it was.
  void ExpectRefused(const std::string& args, int code, const std::string& message,
                     const std::string& env = "") {
    SCOPED_TRACE(args);
    const Tree before = Snapshot(dir_.path());
    std::string out;
    EXPECT_EQ(code, Host(args, &out, env)) << out;
    EXPECT_NE(std::string::npos, out.find(message)) << out;
    EXPECT_EQ(before, Snapshot(dir_.path()));
  }
};

// A store that cannot be used stops the session before anything is copied or written; the
// folder named like the id in the working directory is never touched.
TEST_F(HostileInputTest, AStoreThatIsNotARegularFileStopsEverySessionAndChangesNothing) {
  fs::create_directories(Work() + "/victim");
  WriteFileOrDie(Work() + "/victim/keep", "mine");
  const std::string source = Source("victim", R"({"name":"V","version":"1"})");
  const std::string saved = ReadFileOrEmpty(Store());
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"is a character device", [&] { fs::create_symlink("/dev/null", Store()); }},
      {"is a directory", [&] { fs::create_directory(Store()); }},
      {"is a FIFO", [&] { ASSERT_EQ(0, mkfifo(Store().c_str(), 0600)); }},
  };
  for (const auto& [kind, plant] : cases) {
    fs::remove(Store());
    plant();
    for (const std::string& args : {"install " + source, std::string("list")}) {
      ExpectRefused(args, 1, "the extension store " + Store() + " " + kind);
    }
  }
  fs::remove(Store());
  WriteFileOrDie(Store(), saved);
  EXPECT_EQ(3u, List().size());
}

// Bad command lines, manifests, ids, scenarios and paths, and sources that would reach outside:
// links, special files, an oversized manifest, the installed copy itself or a folder holding it.
TEST_F(HostileInputTest, RefusalsSayWhyAndChangeNothing) {
  const std::string s = dir_.File("sources"), folder = dir_.File("scenario-dir");
  const std::string none = dir_.File("none.jsonl"), copy = DataDirectory() + "/again";
  fs::create_symlink("/etc/passwd", Source("links", R"({"name":"L","version":"1"})") + "/passwd");
  fs::create_directories(Source("dirlink", R"({"name":"L","version":"1"})") + "/sub");
  fs::create_directory_symlink("/etc", s + "/dirlink/sub/etc");
  ASSERT_EQ(0, mkfifo((Source("fifo", R"({"name":"F","version":"1"})") + "/pipe").c_str(), 0600));
  Source("big", R"({"name":"B","version":"1","pad":")" + std::string(1024 * 1024, 'x') + "\"}");
  ASSERT_EQ(0, Host("install " + Source("again", R"({"version":"1","setuponline":"1"})")));
  fs::create_directories(copy + "/sub");
  WriteFileOrDie(copy + "/sub/manifest.json", R"({"version":"2","setuponline":"1"})");
  WriteFileOrDie(DataRoot() + "/manifest.json", R"({"version":"3","setuponline":"1"})");
  Source("nomanifest", "");
  Source("array", "[1,2]");
  Source("broken", "{\"name\":");
  Source("future", R"({"name":"F","version":"1","lowestbrowser":"99.0"})");
  Source("translatebar", R"({"name":"T","version":"9"})");
  fs::create_directories(folder);
  const struct {
    std::string args;
    int code;  // 1 refused by a check, 2 usage error
    std::string message;
    std::string env = "";
  } cases[] = {
      {"--module /nonexistent/libplexore.so register", 2, "cannot load /nonexistent/libplexore.so"},
      {"frobnicate", 2, "unknown command"},
      {"run --data-root", 2, "usage: plexore-host"},
      {"run --data-root " + DataRoot() + " extra", 2, "unexpected argument 'extra'"},
      {"install " + s + "/none", 1, "no directory "},
      {"install " + s + "/nomanifest", 1, "no manifest.json in "},
      {"install " + s + "/array", 1, "/array/manifest.json is not a JSON object"},
      {"install " + s + "/broken", 1, "/broken/manifest.json is not valid JSON"},
      {"install " + s + "/future", 1,
       "the extension needs browser version 99.0 or later; this browser is 6.5.1.2"},
      {"install " + s + "/translatebar", 1,
       "translatebar is installed and its manifest does not allow a reinstall"},
      {"disable nosuch", 1, "no installed extension nosuch"},
      {"remove pagenotes", 1, "pagenotes may not be uninstalled (flags 1)"},
      {"enable a,b", 2, "'a,b' is not a usable extension id"},
      {"install " + s + "/future --state 3", 2, "--state takes 0, 1 or 2"},
      {"update " + s + "/future", 2, "update needs --id ID"},
      {"install " + s + "/a " + s + "/b --id x", 2, "--id applies to a single directory"},
      {"enable pagenotes --flags 1", 2, "--flags does not apply to enable"},
      {"list extra", 2, "list takes no argument"},
      {"install " + s + "/future --id EXTDB_V2.JSON", 2, "'EXTDB_V2.JSON' is reserved"},
      {"install " + s + "/future --id extdb_v2.json.tmp-1", 2, "'extdb_v2.json.tmp-1' is reserved"},
      {"install " + s + "/future --id DownloadTemp", 2, "'DownloadTemp' is reserved"},
      {"install " + s + "/future --id pagenotesbackups", 2, "'pagenotesbackups' is reserved"},
      {"install " + s + "/future --id ..", 2, "is not a usable extension id"},
      {"install " + s + "/future --id a/b", 2, "is not a usable extension id"},
      {"install " + s + "/future --id 'a\\\\b'", 2, "is not a usable extension id"},
      {"run --scenario " + folder, 2, "cannot read the scenario " + folder + ": it is a directory"},
      {"run --scenario " + none, 2, "cannot read the scenario " + none},
      {"list --data-root " + dir_.File("a\\\\b"), 2,
       "the data root " + dir_.File("a\\b") + " contains a backslash"},
      {"list", 2, "contains a backslash", "HALCY_REGISTRY='a\\b'"},
      {"list", 1, "cannot read " + DataRoot() + ": it is a directory",
       "HALCY_REGISTRY=" + DataRoot()},
      {"install " + s + "/links", 1, "the source holds a symbolic link, " + s + "/links/passwd"},
      {"install " + s + "/dirlink", 1, s + "/dirlink/sub/etc"},
      {"install " + s + "/fifo", 1, "neither a regular file nor a directory"},
      {"install " + s + "/big", 1, "the limit is 1048576"},
      {"update " + s + "/links --id pagenotes", 1, "symbolic link"},
      {"install " + copy + "/sub --id again", 1, "lies inside"},
      {"install " + DataRoot() + " --id again", 1, "contains the target"},
  };
  for (const auto& c : cases) ExpectRefused(c.args, c.code, c.message, c.env);
}

// A reinstall killed midway, first in the states a kill can leave (made by hand), then with
// SIGKILL at moments spread over its run: the next session finds one whole version, the record
// and the files agreeing, the old one unless the store already names the new one.
TEST_F(HostileInputTest, AReinstallKilledMidwayLeavesOneWholeVersion) {
  std::map<std::string, std::string> versions;  // version -> source folder
  for (const std::string version : {"1", "2"}) {
    const std::string source =
        Source("k" + version, R"({"name":"K","version":")" + version + R"(","setuponline":"1"})");
    for (int i = 0; i < 200; ++i) {
      WriteFileOrDie(source + "/f" + std::to_string(i), std::string(4096, version[0]));
    }
    versions[version] = source;
  }
  ASSERT_EQ(0, Host("install " + versions["1"] + " --id k"));
  const std::string copy = DataDirectory() + "/k", aside = DataDirectory() + "/.k.previous";
  for (const bool new_copy_in_place : {false, true}) {
    SCOPED_TRACE(new_copy_in_place ? "after the new copy was moved in" : "after the move aside");
    fs::create_directories(DataDirectory() + "/.k.staging");
    fs::rename(copy, aside);
    if (new_copy_in_place) fs::copy(versions["2"], copy);
    EXPECT_EQ("k\t1\t0\t1\tK\t" + copy, Row("k"));
    EXPECT_EQ(Snapshot(versions["1"]), Snapshot(copy));
    EXPECT_FALSE(fs::exists(aside));
    EXPECT_FALSE(fs::exists(DataDirectory() + "/.k.staging"));
  }
  // A reinstall that completed keeps the new files once the store names them.
  ASSERT_EQ(0, Host("install " + versions["2"] + " --id k"));
  fs::create_directories(aside);
  EXPECT_EQ("k\t1\t0\t2\tK\t" + copy, Row("k"));
  EXPECT_EQ(Snapshot(versions["2"]), Snapshot(copy));
  EXPECT_FALSE(fs::exists(aside));
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    // `timeout -s KILL` ends the reinstall after a delay that moves through its whole run.
    char kill_after[32];
    std::snprintf(kill_after, sizeof(kill_after), "timeout -s KILL %.3f", 0.02 + 0.04 * round);
    Host("install " + versions[round % 2 ? "2" : "1"] + " --id k", nullptr, kill_after);
    const std::string row = Row("k");
    ASSERT_EQ(0u, row.find("k\t1\t0\t")) << row;
    EXPECT_EQ(Snapshot(versions[row.substr(6, 1)]), Snapshot(copy));
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
  EXPECT_EQ(43u, List().size()) << "the three seeded extensions and the forty new ones";
}

TEST_F(HostileInputTest, ASecondSessionWaitsForTheProfileThenNamesItsHolder) {
  const std::string lock_path = DataRoot() + "/halcy/browser/profile.lock";
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  const std::string pid = std::to_string(getpid());
  ASSERT_EQ(static_cast<ssize_t>(pid.size()), pwrite(fd, pid.data(), pid.size(), 0));
  ExpectRefused("list", 1,
                "the profile " + DataRoot() + "/halcy/browser is in use by process " + pid);
  close(fd);
  EXPECT_EQ(3u, List().size()) << "the lock ends with its holder";
}

}  // namespace
