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
// the browser's UI extension-point manager held at OnFirstReady, and how many items the context
// menu manager had. Each start-up gets a new context menu manager and a new permission manager
// (outside the timing), as each browser session publishes its own, so that no start-up finds the
// items or permission sets of the one before and neither form pays for failure lines about a
// missing permission manager that the real browser never writes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench_browser.h"
#include "command/extension_context_menu_mgr.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "host/browser_thread.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "host/ui_ext_points.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "module/module.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/thread_service.h"

namespace {

constexpr int kExtensions = 1000;

constexpr char16_t kUiDeclarations[] =
    u",\"toolbarui\":{\"caption\":\"x\",\"icongroup\":{\"normal\":\"i.png\",\"press\":\"p.png\"},"
    u"\"animation_icon\":{\"path\":\"a.gif\"},\"menu\":[{\"id\":1,\"text\":\"One\"},"
    u"{\"id\":2,\"text\":\"Two\"}]},\"accelerator\":\"Ctrl+Shift+Y\","
    u"\"contextmenu\":[{\"text\":\"First\",\"contexttype\":\"selection\"},"
    u"{\"text\":\"Second\",\"contexttype\":\"page\"}]";

// Two data roots below one throwaway folder, one per form; each iteration points the
// application-data folder at its form's root (outside the timing), so that the store the browser
// keeps open for one root is never the other's.
struct TwoFormBrowser {
  ~TwoFormBrowser() {
    halcy::SetService(Logic::IExtensionContextMenuMgr::kIID, nullptr);
    halcy::SetService(Logic::IPermissionMgr::kIID, nullptr);
    services.Stop();
    bench_support::RemoveThrowawayBrowser(root);
  }

  std::string root;
  host::CHostServices services;

  std::string FormRoot(int with_ui) const { return root + (with_ui ? "/ui" : "/plain"); }
  DWORD ui_thread() const { return services.thread(Thread::kThreadUI)->thread_id(); }
  void UseForm(int with_ui) {
    setenv("HALCY_APPDATA", FormRoot(with_ui).c_str(), 1);
    Logic::ResetPathCachesForTesting();
    context_menus = halcy::MakeComObject<Logic::CCoExtensionContextMenuMgr>();
    if (!context_menus) abort();
    halcy::SetService(Logic::IExtensionContextMenuMgr::kIID,
                      static_cast<Logic::IExtensionContextMenuMgr*>(context_menus.Get()));
    permissions = halcy::MakeComObject<Logic::CCoPermissionMgr>();
    if (!permissions) abort();
    halcy::SetService(Logic::IPermissionMgr::kIID,
                      static_cast<Logic::IPermissionMgr*>(permissions.Get()));
  }
  ComPtr<Logic::CCoExtensionContextMenuMgr> context_menus;
  ComPtr<Logic::CCoPermissionMgr> permissions;
};

void WriteForm(const TwoFormBrowser& browser, int with_ui) {
  bench_support::WriteExtensionStore(
      browser.FormRoot(with_ui) + "/halcy/browser/SysData/localextensions", kExtensions,
      [&](int, host::ExtensionRecord* r) {
        r->manifest = u"{\"name\":\"Extension " + r->id +
                      u"\",\"version\":\"1.0.3\",\"permissions\":[\"tabs\",\"contextMenus\"]" +
                      (with_ui ? kUiDeclarations : u"") + u"}";
      });
}

// Set up on first use; ended by main once every benchmark has run, which also removes its
// folder (2 000 extension directories).
std::unique_ptr<TwoFormBrowser> the_browser;

TwoFormBrowser& TheTwoFormBrowser() {
  if (!the_browser) {
    the_browser = std::make_unique<TwoFormBrowser>();
    the_browser->root = bench_support::PrepareThrowawayBrowser("plexore-ui-bench");
    WriteForm(*the_browser, 0);
    WriteForm(*the_browser, 1);
    if (!the_browser->services.Start()) abort();
  }
  return *the_browser;
}

// Extensions with a registration at the browser's UI extension-point manager, and the points
// they registered.
void CountRegistered(TwoFormBrowser& browser, double* extensions, double* points) {
  *extensions = *points = 0;
  host::CUIExtPtMgr* ui = browser.services.ui_points();
  for (const std::u16string& id : ui->RegisteredExtensions()) {
    ++*extensions;
    *points += static_cast<double>(ui->Points(id).size());
  }
}

// The items in the context menu manager's menu JSON (an array of items).
double CountMenuItems(TwoFormBrowser& browser) {
  halcy::ScopedBstr json;
  if (FAILED(browser.context_menus->GetMenuJson(json.Receive()))) return -1;
  std::unique_ptr<Logic::CJsonValue> items = Logic::ParseJson(std::u16string(json.View()));
  return items && items->IsArray() ? static_cast<double>(items->GetArray().size()) : -1;
}

void BM_StartUp(benchmark::State& state) {
  TwoFormBrowser& browser = TheTwoFormBrowser();
  double registered = 0, points = 0, menu_items = 0;
  for (auto _ : state) {
    state.PauseTiming();
    browser.UseForm(static_cast<int>(state.range(0)));
    state.ResumeTiming();
    bench_support::TimeFirstSwitchUser(state, browser.ui_thread(),
                                       [&](bench_support::ReadyListener*) {
                                         CountRegistered(browser, &registered, &points);
                                         menu_items = CountMenuItems(browser);
                                       });
  }
  state.counters["registered"] = registered;
  state.counters["points"] = points;
  state.counters["menuitems"] = menu_items;
}
BENCHMARK(BM_StartUp)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  the_browser.reset();
  return 0;
}
