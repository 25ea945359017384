#include "host/run_command.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_listener.h"
#include "host/host_services.h"
#include "host/module_loader.h"
#include "host/scenario.h"
#include "host/scenario_receivers.h"
#include "host/service_registrations.h"
#include "host/thread_service.h"
#include "module/class_ids.h"
#include "platform/bstr.h"
#include "platform/com_activation.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/win32.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace host {
namespace {

// Start-up of 1 000 extensions takes well under a second; this bound only keeps a broken
// start-up from hanging the command.
constexpr auto kStartupLimit = std::chrono::seconds(20);

std::string Narrow(std::u16string_view text) { return halcy::Utf16ToUtf8(text); }

// The browser's listener: remembers the list and signals the end of start-up.
class CRunListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(CRunListener)
  HALCY_INTERFACE(CRunListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
    ready_changed_.notify_all();
    return S_OK;
  }
  HRESULT OnLocalExtensionList(BSTR extension_ids) override {
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = extension_ids ? std::u16string(extension_ids) : std::u16string();
    has_list_ = true;
    return S_OK;
  }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL) override { return S_OK; }
  HRESULT OnExtensionStateChanged(BSTR, LONG) override { return S_OK; }

  // True when OnFirstReady arrived within `limit`; `list` is the last list broadcast.
  bool WaitReady(std::chrono::seconds limit, bool* has_list, std::u16string* list) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool ready = ready_changed_.wait_for(lock, limit, [this] { return ready_; });
    *has_list = has_list_;
    *list = list_;
    return ready;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_changed_;
  bool ready_ = false;
  bool has_list_ = false;
  std::u16string list_;
};

const CLSID* ClassIdOf(std::u16string_view class_name) {
  for (const Logic::ClassId& c : Logic::kClassTable) {
    if (c.name == class_name) return &c.clsid;
  }
  return nullptr;
}

const CLSID* ExtensionMgrClsid() { return ClassIdOf(u"CCoExtensionMgr"); }

// The module's own objects that the browser publishes as services, so that the module's parts
// find each other through the object factory: the extension manager, its permission manager and
// its notification manager. Withdrawn again when the run ends.
class CModuleServices {
 public:
  explicit CModuleServices(Logic::IExtensionMgr* mgr) {
    Publish(Logic::IExtensionMgr::kIID, mgr);
    Publish(Logic::kIID_IPermissionMgr, Create(u"CCoPermissionMgr").Get());
    Publish(Logic::kIID_IExtensionNotifyMgr, Create(u"CExtensionNotifyMgr").Get());
  }
  CModuleServices(const CModuleServices&) = delete;
  CModuleServices& operator=(const CModuleServices&) = delete;

 private:
  static ComPtr<IUnknown> Create(std::u16string_view class_name) {
    ComPtr<IUnknown> object;
    if (const CLSID* clsid = ClassIdOf(class_name)) {
      CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIID,
                       object.ReleaseAndGetVoidAddress());
    }
    return object;
  }
  void Publish(REFIID iid, IUnknown* service) {
    if (service) registrations_.Publish(iid, service);
  }

  CServiceRegistrations registrations_;  // withdrawn when the run ends
};

// Creates the manager by CLSID; registers the module once when the class is not registered.
ComPtr<Logic::IExtensionMgr> CreateExtensionMgr(const std::string& module_path) {
  const CLSID* clsid = ExtensionMgrClsid();
  if (!clsid) return nullptr;
  ComPtr<Logic::IExtensionMgr> mgr;
  HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, Logic::IExtensionMgr::kIID,
                                mgr.ReleaseAndGetVoidAddress());
  if (SUCCEEDED(hr)) return mgr;
  HRESULT registered = E_FAIL;
  if (!CallModuleEntry(module_path, "DllRegisterServer", &registered) || FAILED(registered)) {
    std::fprintf(stderr, "plexore-host: the module could not be registered (0x%08X)\n",
                 static_cast<unsigned>(registered));
    return nullptr;
  }
  hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, Logic::IExtensionMgr::kIID,
                        mgr.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) {
    std::fprintf(stderr, "plexore-host: CCoExtensionMgr could not be created (0x%08X)\n",
                 static_cast<unsigned>(hr));
    return nullptr;
  }
  return mgr;
}

// Adds the listener and switches the user in, both on the UI thread, so that the listener's
// owner thread is the UI thread and its callbacks arrive there as the browser's do.
bool StartOnUiThread(CHostServices* services, Logic::IExtensionMgr* mgr, CRunListener* listener) {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  HRESULT result = E_FAIL;
  Thread::CTask* task = Thread::NewFuncTask([&] {
    HRESULT hr = mgr->AddListenerOnCallingThread(nullptr, listener);
    if (SUCCEEDED(hr)) hr = mgr->SwitchUser();
    std::lock_guard<std::mutex> lock(mutex);
    result = hr;
    done = true;
    done_changed.notify_all();
  });
  if (!task || FAILED(services->thread_service()->PostTask(Thread::kThreadUI, task))) return false;
  std::unique_lock<std::mutex> lock(mutex);
  done_changed.wait(lock, [&] { return done; });
  return SUCCEEDED(result);
}

std::vector<std::u16string> SplitIds(const std::u16string& list) {
  std::vector<std::u16string> ids;
  size_t start = 0;
  while (start < list.size()) {
    size_t comma = list.find(u',', start);
    if (comma == std::u16string::npos) comma = list.size();
    if (comma > start) ids.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return ids;
}

// The agent's directory with a leading "hcextdbpath/" made absolute, as the manager reads it.
std::u16string ResolvedDirectory(Logic::IExtensionMgr* mgr, Logic::IExtensionAgent* agent) {
  halcy::ScopedBstr directory;
  agent->GetDirectory(directory.Receive());
  std::u16string path = directory.Get() ? directory.Get() : u"";
  constexpr std::u16string_view kPrefix = u"hcextdbpath/";
  if (path.compare(0, kPrefix.size(), kPrefix) == 0) {
    halcy::ScopedBstr data_directory;
    mgr->GetExtensionDataDirectory(data_directory.Receive());
    path = std::u16string(data_directory.Get() ? data_directory.Get() : u"") + u"\\" +
           path.substr(kPrefix.size());
  }
  return path;
}

void PrintSummaries(Logic::IExtensionMgr* mgr, const std::vector<std::u16string>& ids) {
  for (const std::u16string& id : ids) {
    halcy::ScopedBstr id_bstr(id.c_str());
    ComPtr<Logic::IExtensionAgent> agent;
    mgr->GetExtensionAgent(id_bstr.Get(), agent.ReleaseAndGetAddressOf());
    if (!agent) {
      std::printf("%s: not installed\n", Narrow(id).c_str());
      continue;
    }
    halcy::ScopedBstr directory(ResolvedDirectory(mgr, agent.Get()).c_str());
    halcy::ScopedBstr summary;
    agent->GetSummary(directory.Get(), TRUE, summary.Receive());
    std::printf("%s\n", Narrow(summary.Get() ? summary.Get() : u"").c_str());
  }
}

}  // namespace

int RunExtensionManager(CHostServices* services, const std::string& module_path,
                        const std::string& scenario_path) {
  std::ifstream scenario;
  std::unique_ptr<CScenarioOutput> output;
  std::unique_ptr<CScenarioReceivers> receivers;  // before start-up, which starts the pages
  if (!scenario_path.empty()) {
    scenario.open(scenario_path);
    if (!scenario) {
      std::fprintf(stderr, "plexore-host: cannot read the scenario %s\n", scenario_path.c_str());
      return 2;
    }
    output = std::make_unique<CScenarioOutput>(stdout);
    receivers = std::make_unique<CScenarioReceivers>(output.get());
  }
  ComPtr<Logic::IExtensionMgr> mgr = CreateExtensionMgr(module_path);
  if (!mgr) return 1;
  CModuleServices module_services(mgr.Get());
  ComPtr<CRunListener> listener = halcy::MakeComObject<CRunListener>();
  if (!StartOnUiThread(services, mgr.Get(), listener.Get())) {
    std::fprintf(stderr, "plexore-host: switch user could not be started\n");
    return 1;
  }
  bool has_list = false;
  std::u16string list;
  bool ready = listener->WaitReady(kStartupLimit, &has_list, &list);
  int code = 0;
  if (!ready) {
    std::fprintf(stderr, "plexore-host: start-up did not complete (no OnFirstReady)\n");
    code = 1;
  } else if (output) {
    // The background pages started during start-up are created on the UI thread afterwards.
    services->WaitIdle(kStartupLimit);
    code = PlayScenario(services, mgr.Get(), scenario);
  } else {
    std::printf("OnLocalExtensionList: %s\n", has_list ? Narrow(list).c_str() : "(not broadcast)");
    std::printf("OnFirstReady\n");
    PrintSummaries(mgr.Get(), SplitIds(list));
  }
  mgr->UnInitialize();
  if (output) services->WaitIdle(kStartupLimit);  // shut-down's deliveries still print
  return code;
}

}  // namespace host
