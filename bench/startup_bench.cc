// Start-up of the extension manager with 1 000 installed extensions: from SwitchUser until
// OnFirstReady reaches a listener on the UI thread, with the browser's real threads and
// services (host::CHostServices: the JSON-file extension store, the statistics file, ...).
//
//   BM_FirstSwitchUser    a new manager each time: the database wrapper is created, the store
//                         file (1 000 records) is opened and parsed, then the usual start-up
//   BM_RepeatSwitchUser   the same manager switched in again: the wrapper and its open store
//                         are reused, the installed set is queried and announced again
//
// The data root and browser directory are a throwaway folder ($HALCY_APPDATA,
// $HALCY_BROWSER_DIR); the extension directories and the store file are written once.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "bench_browser.h"
#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_listener.h"
#include "host/browser_thread.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "module/module.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace {

constexpr int kExtensions = 1000;

// The browser with 1 000 installed extensions, set up once for the whole program.
class Browser {
 public:
  Browser() {
    root_ = bench_support::PrepareThrowawayBrowser("plexore-bench");
    WriteInstalledSet();
    if (!services_.Start()) abort();
  }
  ~Browser() {
    services_.Stop();
    bench_support::RemoveThrowawayBrowser(root_);
  }

  DWORD ui_thread() const { return services_.thread(Thread::kThreadUI)->thread_id(); }

 private:
  void WriteInstalledSet() {
    const std::string dir = root_ + "/halcy/browser/SysData/localextensions";
    bench_support::WriteExtensionStore(dir, kExtensions, [](int i, host::ExtensionRecord* r) {
      r->state = i % 7 == 0 ? 0 : 1;
      r->manifest = u"{\"name\":\"Extension " + r->id +
                    u"\",\"version\":\"1.0.3\",\"description\":\"A benchmark extension\","
                    u"\"background_page\":\"bg.html\",\"permissions\":[\"tabs\",\"http://*/*\"],"
                    u"\"toolbarui\":{\"caption\":\"x\",\"icongroup\":{\"normal\":\"i.png\"}}}";
    });
  }

  std::string root_;
  host::CHostServices services_;
};

Browser& TheBrowser() {
  static Browser* browser = new Browser();  // lives to the end of the program
  return *browser;
}

void BM_FirstSwitchUser(benchmark::State& state) {
  Browser& browser = TheBrowser();
  size_t list_chars = 0;
  for (auto _ : state) {
    bench_support::TimeFirstSwitchUser(
        state, browser.ui_thread(),
        [&](bench_support::ReadyListener* listener) { list_chars = listener->list_chars(); });
  }
  state.counters["list_chars"] = static_cast<double>(list_chars);
}
BENCHMARK(BM_FirstSwitchUser)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RepeatSwitchUser(benchmark::State& state) {
  Browser& browser = TheBrowser();
  ComPtr<bench_support::ReadyListener> listener =
      halcy::MakeComObject<bench_support::ReadyListener>();
  ComPtr<Logic::IExtensionMgr> mgr = bench_support::NewManager(listener.Get(), browser.ui_thread());
  int ready = 0;
  for (auto _ : state) {
    mgr->SwitchUser();
    listener->WaitForReady(++ready);
  }
  state.counters["list_chars"] = static_cast<double>(listener->list_chars());
  mgr->UnInitialize();
  mgr = nullptr;
  bench_support::DrainManagerThread();
}
BENCHMARK(BM_RepeatSwitchUser)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
