// What the UI extension points cost at start-up: a new manager switched in with 1 000 installed
// extensions until OnFirstReady reaches a listener on the UI thread, on the browser's real
// threads and services, in two forms within one run:
//
//   BM_StartUp/0   the extensions declare no UI (name, version, permissions only)
//   BM_StartUp/1   the same extensions, each with a toolbar button (icon group and a menu), an
//                  accelerator and two context-menu items: every description is built, its icon
//                  paths made absolute and registered, every accelerator posted to the UI thread
//
// The ratio of the two is the price of the UI. The counters say how many extensions and points
// the browser's UI extension-point manager held at OnFirstReady.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bench_browser.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "host/browser_thread.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "host/ui_ext_points.h"
#include "module/module.h"
#include "platform/com_object.h"
#include "platform/strings.h"
#include "thread/thread_service.h"

namespace {

constexpr int kExtensions = 1000;
constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table

constexpr char16_t kUiDeclarations[] =
    u",\"toolbarui\":{\"caption\":\"x\",\"icongroup\":{\"normal\":\"i.png\",\"press\":\"p.png\"},"
    u"\"animation_icon\":{\"path\":\"a.gif\"},\"menu\":[{\"id\":1,\"text\":\"One\"},"
    u"{\"id\":2,\"text\":\"Two\"}]},\"accelerator\":\"Ctrl+Shift+Y\","
    u"\"contextmenu\":[{\"text\":\"First\",\"contexttype\":\"selection\"},"
    u"{\"text\":\"Second\",\"contexttype\":\"page\"}]";

// Two data roots below one throwaway folder, one per form; each iteration points the
// application-data folder at its form's root (outside the timing), so that the store the browser
// keeps open for one root is never the other's.
class Browser {
 public:
  Browser() {
    root_ = bench_support::PrepareThrowawayBrowser("plexore-ui-bench");
    for (int with_ui = 0; with_ui < 2; ++with_ui) WriteStore(with_ui);
    if (!services_.Start()) abort();
  }
  ~Browser() {
    services_.Stop();
    bench_support::RemoveThrowawayBrowser(root_);
  }

  DWORD ui_thread() const { return services_.thread(Thread::kThreadUI)->thread_id(); }
  void UseForm(int with_ui) {
    setenv("HALCY_APPDATA", FormRoot(with_ui).c_str(), 1);
    Logic::ResetPathCachesForTesting();
  }
  // Extensions with a registration at the browser's UI extension-point manager, and the points
  // they registered.
  void CountRegistered(double* extensions, double* points) {
    *extensions = *points = 0;
    for (const std::u16string& id : services_.ui_points()->RegisteredExtensions()) {
      ++*extensions;
      *points += static_cast<double>(services_.ui_points()->Points(id).size());
    }
  }

 private:
  std::string FormRoot(int with_ui) const { return root_ + (with_ui ? "/ui" : "/plain"); }
  void WriteStore(int with_ui) {
    const std::string dir = FormRoot(with_ui) + "/halcy/browser/SysData/localextensions";
    host::ExtensionRecords records;
    for (int i = 0; i < kExtensions; ++i) {
      const std::u16string id = halcy::StringPrintf(u"ext%04d", i);
      std::filesystem::create_directories(dir + "/" + halcy::Utf16ToUtf8(id));
      host::ExtensionRecord& r = records[id];
      r.id = id;
      r.state = 1;
      r.directory = u"hcextdbpath/" + id;
      r.manifest = u"{\"name\":\"Extension " + id +
                   u"\",\"version\":\"1.0.3\",\"permissions\":[\"tabs\",\"contextMenus\"]" +
                   (with_ui ? kUiDeclarations : u"") + u"}";
    }
    std::ofstream(dir + "/extdb_v2.json") << host::SerializeExtensionRecords(records);
  }

  std::string root_;
  host::CHostServices services_;
};

Browser& TheBrowser() {
  static Browser* browser = new Browser();  // lives to the end of the program
  return *browser;
}

void BM_StartUp(benchmark::State& state) {
  Browser& browser = TheBrowser();
  double registered = 0, points = 0;
  for (auto _ : state) {
    state.PauseTiming();
    browser.UseForm(static_cast<int>(state.range(0)));
    ComPtr<bench_support::ReadyListener> listener =
        halcy::MakeComObject<bench_support::ReadyListener>();
    ComPtr<Logic::IExtensionMgr> mgr;
    Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                               mgr.ReleaseAndGetVoidAddress());
    mgr->AddListener(1, browser.ui_thread(), listener.Get(), FALSE);
    state.ResumeTiming();
    mgr->SwitchUser();
    listener->WaitForReady(1);
    state.PauseTiming();
    browser.CountRegistered(&registered, &points);
    mgr->UnInitialize();
    mgr = nullptr;
    bench_support::DrainManagerThread();
    state.ResumeTiming();
  }
  state.counters["registered"] = registered;
  state.counters["points"] = points;
}
BENCHMARK(BM_StartUp)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
