// A command's round trip: a background core sends "extension.invoke.utility.geturl" (IExtensionMgr
// operation 38); the manager's thread passes it through the permission gate to the common command
// host, whose handler runs on the UI thread, asks the browser model for the tab's URL and replies;
// the reply goes back through the manager's thread to the core, on the core's own thread (UI).
// Everything is real: the browser's four threads and services, the manager started from a store,
// the permission manager, the common command host and the browser model.
//
//   BM_GetUrlLatency     one command at a time; reports p50 and p99 in microseconds
//   BM_GetUrlThroughput  batches of 1 000 commands in flight; reports commands per second
//
// The data root and browser directory are a throwaway folder ($HALCY_APPDATA,
// $HALCY_BROWSER_DIR).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bench_browser.h"
#include "command/co_ext_common_cmd_host.h"
#include "common/paths.h"
#include "extension/bk_core.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "host/browser_model.h"
#include "host/browser_thread.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "module/module.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace {

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table
constexpr char16_t kExtension[] = u"bench";
using Clock = std::chrono::steady_clock;

// Counts replies; the test side waits for a count.
class CountingCore : public halcy::ComObjectRoot, public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(CountingCore)
  HALCY_INTERFACE(CountingCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()

  HRESULT Close() override { return S_OK; }
  HRESULT DeliverMessage(BSTR, BSTR payload) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++delivered_;
    std::u16string_view text = payload ? std::u16string_view(payload) : u"";
    last_size_ = text.size();
    // Every reply must carry the tab's URL; anything else would be timing the wrong path.
    if (text.find(u"https://news.example/today") == std::u16string_view::npos) ++wrong_;
    cv_.notify_all();
    return S_OK;
  }
  void WaitFor(long count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return delivered_ >= count; });
  }
  size_t last_size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_size_;
  }
  long wrong() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wrong_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long delivered_ = 0;    // Guarded by mutex_
  size_t last_size_ = 0;  // Guarded by mutex_
  long wrong_ = 0;        // Guarded by mutex_
};

// The browser with one installed extension (a background page allowed the "utility" APIs), a
// frame with one tab, and the extension's core entered into the manager.
class Browser {
 public:
  Browser() {
    root_ = bench_support::PrepareThrowawayBrowser("plexore-cmd");
    WriteInstalledSet();
    if (!services_.Start()) abort();
    permissions_ = halcy::MakeComObject<Logic::CCoPermissionMgr>();
    halcy::SetService(Logic::IPermissionMgr::kIID,
                      static_cast<Logic::IPermissionMgr*>(permissions_.Get()));
    services_.browser_model()->AddFrame(1);
    services_.browser_model()->AddTab(1, 11, u"https://news.example/today", u"Today");
    StartManager();
  }
  ~Browser() {
    mgr_->UnInitialize();
    services_.Stop();
    bench_support::RemoveThrowawayBrowser(root_);
  }

  Logic::IExtensionMgr* mgr() const { return mgr_.Get(); }
  CountingCore* core() const { return core_.Get(); }

 private:
  void WriteInstalledSet() {
    const std::string dir = root_ + "/halcy/browser/SysData/localextensions";
    std::filesystem::create_directories(dir + "/bench");
    host::ExtensionRecords records;
    host::ExtensionRecord& r = records[kExtension];
    r.id = kExtension;
    r.state = 1;
    r.directory = u"hcextdbpath/bench";
    r.manifest =
        u"{\"name\":\"Bench\",\"version\":\"1.0\",\"background_page\":\"bg.html\","
        u"\"permissions\":[\"utility\"]}";
    std::ofstream(dir + "/extdb_v2.json") << host::SerializeExtensionRecords(records);
  }

  void StartManager() {
    Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                               mgr_.ReleaseAndGetVoidAddress());
    if (!mgr_) abort();
    const DWORD ui = services_.thread(Thread::kThreadUI)->thread_id();
    ComPtr<bench_support::ReadyListener> listener =
        halcy::MakeComObject<bench_support::ReadyListener>();
    mgr_->AddListener(1, ui, listener.Get(), FALSE);
    mgr_->SwitchUser();
    listener->WaitForReady(1);
    auto* impl = static_cast<Logic::CCoExtensionMgr*>(mgr_.Get())->impl();
    cmd_host_ = halcy::MakeComObject<Logic::CCoExtCommonCmdHost>();
    cmd_host_->SetExtensionMgr(impl);
    mgr_->RegisterCmdHost(cmd_host_.Get());
    core_ = halcy::MakeComObject<CountingCore>();
    std::mutex mutex;
    std::condition_variable cv;
    bool inserted = false;
    Thread::PostTask(Thread::kThreadExtensionManager, Thread::NewFuncTask([&] {
                       impl->InsertBKCoreInfoInExtMgrThread(
                           ComPtr<Logic::IExtBackgroundCore>(core_.Get()), ui, 0, 0, kExtension, 1);
                       std::lock_guard<std::mutex> lock(mutex);
                       inserted = true;
                       cv.notify_all();
                     }));
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return inserted; });
  }

  std::string root_;
  host::CHostServices services_;
  ComPtr<Logic::CCoPermissionMgr> permissions_;
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<Logic::CCoExtCommonCmdHost> cmd_host_;
  ComPtr<CountingCore> core_;
};

Browser& TheBrowser() {
  static Browser* browser = new Browser();  // lives to the end of the program
  return *browser;
}

struct Command {
  halcy::ScopedBstr id{kExtension};
  halcy::ScopedBstr name{u"extension.invoke.utility.geturl"};
  halcy::ScopedBstr args{u"{\"tab_id\":11}"};
  HRESULT Send(Logic::IExtensionMgr* mgr) {
    return mgr->ProcessBPCommand(id.Get(), name.Get(), args.Get(), 7);
  }
};

long delivered_so_far = 0;  // replies seen by the core across every benchmark of this run

void BM_GetUrlLatency(benchmark::State& state) {
  Browser& browser = TheBrowser();
  Command command;
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (FAILED(command.Send(browser.mgr()))) abort();
    browser.core()->WaitFor(++delivered_so_far);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
  state.counters["reply_chars"] = static_cast<double>(browser.core()->last_size());
  state.counters["wrong_replies"] = static_cast<double>(browser.core()->wrong());
}
BENCHMARK(BM_GetUrlLatency)->Iterations(100000)->UseRealTime();

void BM_GetUrlThroughput(benchmark::State& state) {
  constexpr int kBatch = 1000;
  Browser& browser = TheBrowser();
  Command command;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      if (FAILED(command.Send(browser.mgr()))) abort();
    }
    delivered_so_far += kBatch;
    browser.core()->WaitFor(delivered_so_far);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["wrong_replies"] = static_cast<double>(browser.core()->wrong());
}
BENCHMARK(BM_GetUrlThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
