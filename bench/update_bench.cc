// One update check of the extension tracker against a loopback update server, against a plain
// loop of minizip extraction over the same packages, in the same run.
//
//   BM_TrackerUpdateCheck   installed extensions at 1.0; the server's update list names each at
//                           2 with a package of 50 files. Timed from the tracker's Start
//                           (trackerdelay 0: the three checks at once) until the last update is
//                           staged ("staged at" logged for each): the list requests, the
//                           downloads through the proxy, the checks and the staging under
//                           "updatetemp". The manager's update tasks that follow (its records,
//                           the old versions' folders) are waited for too, and reported apart.
//
// How many extensions: 200 were asked for, but the update-server client keeps at most 4 096
// bytes of a list reply and a list cut short is dropped, so one check can name only as many as
// fit (83 with the shortest ids and addresses); the benchmark takes the most that fit, up to
// PLEXORE_UPDATE_BENCH_EXTENSIONS (default 200), and reports the number as "extensions".
//
// Counters: tracker_ms (the time above), taken_ms (until the manager has taken the last update,
// "install result" logged for each), plain_ms (the same packages read from disk, unpacked
// with minizip into a staging folder each and renamed into place, by one loop on one thread,
// measured in the same iteration) and ratio = tracker_ms / plain_ms. The goal is a ratio of at
// most 1.5.
//
// Each iteration starts a new manager on a fresh data root (installed set at 1.0) with the
// clock stopped. The server is bench_http_server.h, a small C++ server on 127.0.0.1 that costs
// what a real server's network exchange costs, so that the time is the tracker's and not the
// server's; the proxy environment points at it, so the update server's and the packages' host
// names never leave 127.0.0.1.
// The program exits 1 when a run fails (a smoke run is registered with ctest).
#include <benchmark/benchmark.h>
#include <minizip/unzip.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_browser.h"
#include "bench_http_server.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "host/browser_thread.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "module/module.h"
#include "platform/log_controller.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/zip_builder.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"
#include "update/carry_info.h"
#include "update/extension_tracker.h"
#include "update/net_file_fetcher.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Clock = std::chrono::steady_clock;

constexpr int kFilesPerPackage = 50;
constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table
constexpr auto kPatience = std::chrono::seconds(120);
constexpr size_t kListReplyBytes = 4096;  // the update-server client's reply buffer

int ExtensionCount() {
  const char* text = getenv("PLEXORE_UPDATE_BENCH_EXTENSIONS");
  const int count = text ? atoi(text) : 0;
  return count > 0 && count <= 10000 ? count : 200;
}

std::string Id(int i) { return "e" + std::to_string(i); }

// One entry of the update list, as compact as the list's shape allows.
std::string ListEntry(int i) {
  return "\"" + Id(i) + "\":{\"version\":\"2\",\"url\":\"http://u/files/" + Id(i) + "\"}";
}

// The most extensions, up to `wanted`, whose update list fits into one list reply: the tracker
// reads at most kListReplyBytes of it and drops a list cut short.
int FittingCount(int wanted) {
  size_t size = 2;  // the braces
  for (int i = 0; i < wanted; ++i) {
    size += ListEntry(i).size() + (i ? 1 : 0);
    if (size > kListReplyBytes) return i;
  }
  return wanted;
}

// Script-like text, so that it deflates about as well as an extension's files.
std::string Words(std::mt19937& random, size_t size) {
  static const char* const kWords[] = {"function",  "var ",     "return ", "this.",
                                       "extension", "{\n",      "}\n",     "if (",
                                       ") ",        "document", "0x",      "42; "};
  std::string text;
  while (text.size() < size) text += kWords[random() % std::size(kWords)];
  text.resize(size);
  return text;
}

// A package of one folder "ext" holding the manifest at `version` and 49 scripts in 5 folders.
std::string Package(const std::string& id, std::mt19937& random) {
  std::vector<ts::ZipFixtureEntry> files;
  files.push_back(ts::ZipFile("ext/manifest.json", "{\"name\":\"" + id + "\",\"version\":\"2\"}"));
  for (int i = 1; i < kFilesPerPackage; ++i) {
    files.push_back(ts::ZipFile("ext/js" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".js",
                                Words(random, 200 + random() % 3000)));
  }
  return ts::BuildZip(files);
}

// Counts the manager's answers to the tracker's update tasks, and failed downloads.
class InstallResults final : public halcy::LogObserver {
 public:
  InstallResults() { GetLogController()->AddObserver(this); }
  ~InstallResults() { GetLogController()->RemoveObserver(this); }

  void OnLogLine(int, std::u16string_view, std::u16string_view text) override {
    const bool named = text.rfind(u"extlist: '", 0) == 0;
    const bool result = named && text.find(u"' install result ") != std::u16string_view::npos;
    const bool staged = named && text.find(u"' staged at ") != std::u16string_view::npos;
    const bool failed_download = text.rfind(u"extlist: download of '", 0) == 0;
    if (!result && !staged && !failed_download) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (staged) {
      if (++staged_ == expected_) last_staged_ = Clock::now();
      return;
    }
    ++seen_;
    if ((failed_download || !text.ends_with(u" 0x0")) && failed_++ == 0) {
      first_failure_ = halcy::Utf16ToUtf8(std::u16string(text));
    }
    cv_.notify_all();
  }
  void Reset(int expected) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_ = failed_ = staged_ = 0;
    expected_ = expected;
    first_failure_.clear();
  }
  // When the last of the expected packages was staged.
  Clock::time_point last_staged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_staged_;
  }
  // What went wrong: the first failure, or how many outcomes came.
  std::string Failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_ ? first_failure_ : std::to_string(seen_) + " updates taken in time";
  }
  // True when `count` outcomes arrived in time, all of them successes.
  bool WaitForSuccesses(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kPatience, [&] { return seen_ >= count; }) && failed_ == 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int seen_ = 0;                   // Guarded by mutex_
  int staged_ = 0;                 // Guarded by mutex_
  int expected_ = 0;               // Guarded by mutex_
  Clock::time_point last_staged_;  // Guarded by mutex_
  int failed_ = 0;                 // Guarded by mutex_
  std::string first_failure_;      // Guarded by mutex_
};

// Unpacks every entry of `zip` below `destination` with minizip alone; false on any failure.
bool PlainUnzip(const std::string& zip, const fs::path& destination) {
  unzFile file = unzOpen64(zip.c_str());
  if (!file) return false;
  bool ok = unzGoToFirstFile(file) == UNZ_OK;
  std::vector<char> buffer(64 * 1024);
  while (ok) {
    char name[512];
    unz_file_info64 info;
    ok = unzGetCurrentFileInfo64(file, &info, name, sizeof(name), nullptr, 0, nullptr, 0) ==
             UNZ_OK &&
         unzOpenCurrentFile(file) == UNZ_OK;
    if (!ok) break;
    const fs::path target = destination / name;
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    FILE* out = std::fopen(target.c_str(), "wb");
    int n = 0;
    while (out && (n = unzReadCurrentFile(file, buffer.data(), buffer.size())) > 0) {
      ok = std::fwrite(buffer.data(), 1, n, out) == static_cast<size_t>(n);
    }
    ok = out && n == 0 && std::fclose(out) == 0 && unzCloseCurrentFile(file) == UNZ_OK && ok;
    const int next = unzGoToNextFile(file);
    if (next == UNZ_END_OF_LIST_OF_FILE) break;
    ok = ok && next == UNZ_OK;
  }
  unzClose(file);
  return ok;
}

// The browser with its installed set, the loopback update server and the packages it serves.
class UpdateWorld {
 public:
  UpdateWorld() : count_(FittingCount(ExtensionCount())) {
    root_ = bench_support::PrepareThrowawayBrowser("plexore-update-bench");
    RegisterDownloadClasses();
    if (!server_.ok()) abort();
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      proxy_.push_back(std::make_unique<ts::ScopedEnv>(name, server_.Url()));
    }
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
      proxy_.push_back(std::make_unique<ts::ScopedEnv>(name, ""));
    }
    WritePackagesAndList();
    ts::WriteFileOrDie(root_ + "/autoupdate.ini", "[autoupdate]\nProductName=Bench Browser\n");
    if (!services_.Start()) abort();
  }
  ~UpdateWorld() {
    services_.Stop();
    bench_support::RemoveThrowawayBrowser(root_);
  }

  int count() const { return count_; }
  std::string extensions_dir() const {
    return data_root_ + "/halcy/browser/SysData/localextensions";
  }
  std::string package(int i) const { return files_.path() + "/" + Id(i); }
  DWORD ui_thread() const { return services_.thread(Thread::kThreadUI)->thread_id(); }

  // A fresh data root with the installed set at 1.0, and no tracker configuration (so that the
  // manager's start leaves the tracker idle). A new folder each time, because the browser's
  // database service keeps every store it opened for the life of the process.
  void ResetDataRoot() {
    fs::remove(ConfigPath());
    std::error_code ignored;
    fs::remove_all(data_root_, ignored);
    data_root_ = root_ + "/data" + std::to_string(++data_roots_);
    setenv("HALCY_APPDATA", data_root_.c_str(), 1);
    Logic::ResetPathCachesForTesting();
    host::ExtensionRecords records;
    for (int i = 0; i < count_; ++i) {
      const std::u16string id = halcy::Utf8ToUtf16(Id(i));
      fs::create_directories(extensions_dir() + "/" + Id(i));
      host::ExtensionRecord& r = records[id];
      r.id = id;
      r.state = 1;
      r.directory = u"hcextdbpath/" + id;
      r.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"}";
    }
    ts::WriteFileOrDie(extensions_dir() + "/extdb_v2.json",
                       host::SerializeExtensionRecords(records));
  }
  void WriteTrackerConfig() {
    ts::WriteFileOrDie(ConfigPath(),
                       "[generalinfo]\ntrackerdelay=0\n[extUpdate]\n"
                       "url=http://updates.example.test/files/updatelist\n");
  }

 private:
  std::string ConfigPath() const { return root_ + "/extensionMgrConfig.ini"; }

  // The tracker makes its download objects and fetcher through the object factory.
  static void RegisterDownloadClasses() {
    halcy::CreatableClass carry;
    carry.create = [](REFIID iid, void** out) {
      return halcy::CreateComInstance<Logic::CCoCarryInfo>(nullptr, iid, out);
    };
    halcy::SetCreatableClass(Logic::ICarryInfo::kIID, std::move(carry));
    halcy::CreatableClass fetcher;
    fetcher.create = [](REFIID iid, void** out) {
      return halcy::CreateComInstance<Logic::CCoNetFileFetcher>(nullptr, iid, out);
    };
    halcy::SetCreatableClass(Logic::INetFileFetcher::kIID, std::move(fetcher));
  }

  void WritePackagesAndList() {
    std::mt19937 random(11);
    std::string list = "{";
    for (int i = 0; i < count_; ++i) {
      std::string bytes = Package(Id(i), random);
      ts::WriteFileOrDie(package(i), bytes);  // read from disk by the plain loop
      server_.AddFile(Id(i), std::move(bytes));
      list += (i ? "," : "") + ListEntry(i);
    }
    server_.AddFile("updatelist", list + "}");
  }

  const int count_;
  std::string root_;       // the browser directory
  std::string data_root_;  // this iteration's application data
  int data_roots_ = 0;
  ts::ScopedTempDir files_;
  bench_support::BenchHttpServer server_;
  std::vector<std::unique_ptr<ts::ScopedEnv>> proxy_;  // the proxy environment names server_
  host::CHostServices services_;
};

UpdateWorld* g_world = nullptr;  // made by the first run, deleted by main
bool g_failed = false;           // a run was skipped with an error

UpdateWorld& TheWorld() {
  if (!g_world) g_world = new UpdateWorld();
  return *g_world;
}

// A manager switched in on the reset data root, its tracker idle; null when it failed.
ComPtr<Logic::IExtensionMgr> StartedManager(UpdateWorld& world,
                                            bench_support::ReadyListener* listener) {
  world.ResetDataRoot();
  ComPtr<Logic::IExtensionMgr> mgr;
  Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                             mgr.ReleaseAndGetVoidAddress());
  if (!mgr) return nullptr;
  mgr->AddListener(1, world.ui_thread(), listener, FALSE);
  mgr->SwitchUser();
  listener->WaitForReady(1);
  return mgr;
}

// Starts the tracker's check on the extension-manager thread, as the manager does.
bool StartCheck(Logic::IExtensionMgr* mgr) {
  ComPtr<Logic::IExtensionTracker> tracker =
      static_cast<Logic::CCoExtensionMgr*>(mgr)->impl()->Tracker();
  if (!tracker) return false;
  return Thread::PostTask(Thread::kThreadExtensionManager,
                          Thread::NewFuncTask([tracker] { tracker->Start(); }));
}

// True when every extension's update sits staged with all its files.
bool AllStaged(const std::string& updatetemp, int count) {
  for (int i = 0; i < count; ++i) {
    size_t files = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(updatetemp + "/" + Id(i) + "-2", error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      files += it->is_regular_file();
    }
    if (error || files != kFilesPerPackage) return false;
  }
  return true;
}

// The baseline: each package unpacked into a staging folder, then its "ext" folder renamed to
// "<root>/updatetemp/<id>-2". Returns the seconds taken, or -1 on a failure.
double PlainLoop(const UpdateWorld& world, const std::string& root) {
  fs::remove_all(root);
  fs::create_directories(root + "/updatetemp");
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < world.count(); ++i) {
    const std::string staging = root + "/." + Id(i) + ".staging";
    if (!PlainUnzip(world.package(i), staging)) return -1;
    std::error_code error;
    fs::rename(staging + "/ext", root + "/updatetemp/" + Id(i) + "-2", error);
    if (error) return -1;
    fs::remove(staging, error);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return AllStaged(root + "/updatetemp", world.count()) ? seconds : -1;
}

// One iteration: the tracker's check on a fresh manager, then the plain loop. Sets the two
// times in seconds; returns an error text, or "".
std::string RunOnce(UpdateWorld& world, InstallResults& results, double* tracker, double* taken,
                    double* plain) {
  ComPtr<bench_support::ReadyListener> listener =
      halcy::MakeComObject<bench_support::ReadyListener>();
  ComPtr<Logic::IExtensionMgr> mgr = StartedManager(world, listener.Get());
  if (!mgr) return "no extension manager";
  world.WriteTrackerConfig();
  results.Reset(world.count());
  const Clock::time_point start = Clock::now();
  const bool updated = StartCheck(mgr.Get()) && results.WaitForSuccesses(world.count());
  *taken = std::chrono::duration<double>(Clock::now() - start).count();
  *tracker = std::chrono::duration<double>(results.last_staged() - start).count();
  mgr->UnInitialize();
  mgr = nullptr;
  bench_support::DrainManagerThread();
  if (!updated) return results.Failure();
  if (!AllStaged(world.extensions_dir() + "/updatetemp", world.count())) {
    return "not every update was staged";
  }
  *plain = PlainLoop(world, world.extensions_dir() + "/../plain");
  return *plain < 0 ? "the plain minizip loop failed" : "";
}

void BM_TrackerUpdateCheck(benchmark::State& state) {
  UpdateWorld& world = TheWorld();
  InstallResults results;
  double tracker_total = 0, taken_total = 0, plain_total = 0;
  for (auto _ : state) {
    double tracker = 0, taken = 0, plain = 0;
    if (const std::string error = RunOnce(world, results, &tracker, &taken, &plain);
        !error.empty()) {
      state.SkipWithError(error.c_str());
      g_failed = true;
      break;
    }
    state.SetIterationTime(tracker);
    tracker_total += tracker;
    taken_total += taken;
    plain_total += plain;
  }
  if (state.error_occurred() || plain_total <= 0) return;
  const double n = static_cast<double>(state.iterations());
  state.counters["extensions"] = world.count();
  state.counters["tracker_ms"] = tracker_total * 1000 / n;
  state.counters["taken_ms"] = taken_total * 1000 / n;
  state.counters["plain_ms"] = plain_total * 1000 / n;
  state.counters["ratio"] = tracker_total / plain_total;
}
BENCHMARK(BM_TrackerUpdateCheck)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The manager's failure lines (a permission manager the benchmark browser does not have)
  // would otherwise go to stderr inside the timed part; HALCY_LOG set by hand still wins.
  setenv("HALCY_LOG", "off", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete g_world;  // stops the browser's threads and the server, removes the folders
  return g_failed ? 1 : 0;
}
