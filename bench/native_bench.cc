// A native library's round trip through the real extension process: the browser dispatches the
// named event "weather.update" (IExtensionMgr operation 21); the manager sends it to the
// extension process (IPC 0x07000008), where the shipped weatherdesk library answers it by
// sending the command "extension.invoke.utility.getversion" (0x07000010); the manager passes
// the command through the permission gate to the command hosts, where a counting host (offered
// first, it lets the command go on to the common command host, which answers the library) marks
// its arrival. Against it, in the same run: one synchronous IPC message to the same process and
// its reply, through the manager's DLL host.
//
//   BM_NamedEventToLibraryCommand  one event at a time; counters p50_us and p99_us
//   BM_NamedEventThroughput        batches of 200 events in flight; items/s = round trips/s
//   BM_SyncRoundTripToProcess      one synchronous message and its reply; p50_us and p99_us
//
// This program is also the extension process: the manager starts the running executable with
// "--type=BrindleProcess", and main() hands such a command line to the real child code.
// The data root and browser directory are a throwaway folder seeded with the shipped built-in
// set ($HALCY_APPDATA, $HALCY_BROWSER_DIR).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench_browser.h"
#include "command/ext_cmd_host.h"
#include "extension/extension_mgr.h"
#include "host/browser_thread.h"
#include "host/dll_child.h"
#include "host/host_services.h"
#include "ipc/ipc_message.h"
#include "module/module.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "thread/thread_service.h"

namespace {

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table
// A type of no meaning to the extension process, which answers every synchronous message.
constexpr uint32_t kPingType = 0x07000000;
using Clock = std::chrono::steady_clock;

std::filesystem::path g_self;  // this program
std::string g_shipped_set;     // the built-in set beside it

// Offered every command first; counts weatherdesk's and lets it go on to the next host.
class CountingHost : public halcy::ComObjectRoot, public Logic::IExtCmdHost {
 public:
  HALCY_BEGIN_INTERFACES(CountingHost)
  HALCY_INTERFACE(CountingHost, Logic::IExtCmdHost)
  HALCY_END_INTERFACES()

  HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR, LONG) override {
    if (std::u16string_view(extension_id ? extension_id : u"") == u"weatherdesk" &&
        std::u16string_view(command ? command : u"") == u"extension.invoke.utility.getversion") {
      std::lock_guard<std::mutex> lock(mutex_);
      ++arrived_;
      cv_.notify_all();
    }
    return E_NOTIMPL;
  }
  // False when fewer than `count` commands arrived within `limit`.
  bool WaitFor(long count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return arrived_ >= count; });
  }
  long arrived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long arrived_ = 0;  // Guarded by mutex_
};

// The browser with the shipped built-in set, its manager started, and weatherdesk loaded in the
// extension process.
class Browser {
 public:
  explicit Browser(const std::string& shipped_set) {
    root_ = bench_support::PrepareThrowawayBrowser("plexore-native");
    // The manager starts "the running executable" from the browser directory.
    std::filesystem::create_symlink(g_self, root_ + "/" + g_self.filename().string());
    std::filesystem::create_directories(root_ + "/resource/userdata");
    std::filesystem::copy(shipped_set, root_ + "/resource/userdata/localextensions",
                          std::filesystem::copy_options::recursive);
    if (!services_.Start()) abort();
    permissions_ = halcy::MakeComObject<Logic::CCoPermissionMgr>();
    halcy::SetService(Logic::IPermissionMgr::kIID,
                      static_cast<Logic::IPermissionMgr*>(permissions_.Get()));
    Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                               mgr_.ReleaseAndGetVoidAddress());
    if (!mgr_) abort();
    counter_ = halcy::MakeComObject<CountingHost>();
    mgr_->RegisterCmdHost(counter_.Get());  // before start-up registers the common host
    ComPtr<bench_support::ReadyListener> listener =
        halcy::MakeComObject<bench_support::ReadyListener>();
    mgr_->AddListener(1, services_.thread(Thread::kThreadUI)->thread_id(), listener.Get(), FALSE);
    mgr_->SwitchUser();
    listener->WaitForReady(1);
    // The library loads while the process starts; the first answered event says it is there.
    for (int tries = 0; !RoundTrip(std::chrono::milliseconds(500)); ++tries) {
      if (tries == 20) abort();
    }
  }
  ~Browser() {
    mgr_->UnInitialize();
    services_.Stop();
    bench_support::RemoveThrowawayBrowser(root_);
  }

  // Dispatches one event; true when its command arrived within `limit`.
  bool RoundTrip(std::chrono::milliseconds limit) {
    Dispatch();
    return counter_->WaitFor(++expected_, limit);
  }
  void Dispatch() {
    halcy::ScopedBstr name(u"weather.update"), payload(u"");
    if (FAILED(mgr_->DispatchNamedEvent(name.Get(), payload.Get()))) abort();
  }
  // Dispatches `count` events at once and waits for all their commands.
  void Burst(int count) {
    for (int i = 0; i < count; ++i) Dispatch();
    expected_ += count;
    if (!counter_->WaitFor(expected_, std::chrono::seconds(30))) abort();
  }
  bool Ping() { return SUCCEEDED(mgr_->SendToDllHost(new IPC::CMessage(true, kPingType))); }

 private:
  std::string root_;
  host::CHostServices services_;
  ComPtr<Logic::CCoPermissionMgr> permissions_;
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<CountingHost> counter_;
  long expected_ = 0;
};


Browser& TheBrowser() {
  static Browser* browser = new Browser(g_shipped_set);  // lives to the end of the program
  return *browser;
}

void ReportPercentiles(benchmark::State& state, std::vector<double>* micros) {
  std::sort(micros->begin(), micros->end());
  if (micros->empty()) return;
  state.counters["p50_us"] = (*micros)[micros->size() / 2];
  state.counters["p99_us"] = (*micros)[micros->size() * 99 / 100];
}

void BM_NamedEventToLibraryCommand(benchmark::State& state) {
  Browser& browser = TheBrowser();
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!browser.RoundTrip(std::chrono::seconds(5))) abort();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ReportPercentiles(state, &micros);
}
BENCHMARK(BM_NamedEventToLibraryCommand)->Iterations(5000)->UseRealTime();

void BM_NamedEventThroughput(benchmark::State& state) {
  constexpr int kBatch = 200;
  Browser& browser = TheBrowser();
  for (auto _ : state) browser.Burst(kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_NamedEventThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SyncRoundTripToProcess(benchmark::State& state) {
  Browser& browser = TheBrowser();
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!browser.Ping()) abort();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ReportPercentiles(state, &micros);
}
BENCHMARK(BM_SyncRoundTripToProcess)->Iterations(5000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (host::IsDllChildCommandLine(argc, argv)) return host::RunDllChild(argc, argv);
  std::error_code ignored;
  g_self = std::filesystem::read_symlink("/proc/self/exe", ignored);
  g_shipped_set = (g_self.parent_path() / "resource/userdata/localextensions").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
