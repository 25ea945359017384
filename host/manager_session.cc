#include "host/manager_session.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string_view>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_paths.h"
#include "host/channel_info.h"
#include "host/durable_file.h"
#include "host/extension_store.h"
#include "host/host_services.h"
#include "host/module_loader.h"
#include "host/scenario_receivers.h"
#include "host/service_registrations.h"
#include "host/staged_copy.h"
#include "host/thread_service.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "module/channel_info.h"
#include "module/class_ids.h"
#include "platform/bstr.h"
#include "platform/com_activation.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace host {
namespace {

namespace fs = std::filesystem;

const CLSID* ClassIdOf(std::u16string_view class_name) {
  for (const Logic::ClassId& c : Logic::kClassTable) {
    if (c.name == class_name) return &c.clsid;
  }
  return nullptr;
}

ComPtr<Logic::IExtensionMgr> CreateByClsid(const CLSID& clsid, HRESULT* hr) {
  ComPtr<Logic::IExtensionMgr> mgr;
  *hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, Logic::IExtensionMgr::kIID,
                         mgr.ReleaseAndGetVoidAddress());
  return SUCCEEDED(*hr) ? mgr : nullptr;
}

// Creates the manager by CLSID; registers the module once when the class is not registered.
ComPtr<Logic::IExtensionMgr> CreateExtensionMgr(const std::string& module_path) {
  const CLSID* clsid = ClassIdOf(u"CCoExtensionMgr");
  if (!clsid) return nullptr;
  HRESULT hr = E_FAIL;
  if (ComPtr<Logic::IExtensionMgr> mgr = CreateByClsid(*clsid, &hr)) return mgr;
  HRESULT registered = E_FAIL;
  if (!CallModuleEntry(module_path, "DllRegisterServer", &registered) || FAILED(registered)) {
    std::fprintf(stderr, "plexore-host: the module could not be registered (0x%08X)\n",
                 static_cast<unsigned>(registered));
    return nullptr;
  }
  ComPtr<Logic::IExtensionMgr> mgr = CreateByClsid(*clsid, &hr);
  if (!mgr) {
    std::fprintf(stderr, "plexore-host: CCoExtensionMgr could not be created (0x%08X)\n",
                 static_cast<unsigned>(hr));
  }
  return mgr;
}

// Adds the listener and switches the user in, both on the UI thread, so that the listener's
// owner thread is the UI thread and its callbacks arrive there as the browser's do.
bool StartOnUiThread(CHostServices* services, Logic::IExtensionMgr* mgr,
                     CSessionListener* listener) {
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

// True when the store at `store` names `target` with the manifest that `target` holds now: the
// install that put it there was committed.
bool StoreNamesCopy(const std::string& store, const fs::path& data_directory,
                    const fs::path& target) {
  std::string bytes, problem;
  ExtensionRecords records;
  if (ReadFileBytes(store, &bytes, &problem) == ReadResult::kRead) {
    ParseExtensionRecords(bytes, &records);
  }
  std::unique_ptr<Logic::CJsonValue> manifest =
      Logic::ParseJsonFile(halcy::Utf8ToUtf16((target / "manifest.json").string()));
  if (!manifest) return false;
  const std::u16string text = Logic::ToJsonString(*manifest);
  const std::u16string prefix(Logic::kExtDbPathPrefix);
  for (const auto& [id, record] : records) {
    const fs::path directory =
        record.directory.starts_with(prefix)
            ? data_directory / halcy::Utf16ToUtf8(record.directory.substr(prefix.size()))
            : fs::path(halcy::ToNativePath(record.directory));
    if (directory.lexically_normal() == target.lexically_normal()) return record.manifest == text;
  }
  return false;
}

// Before the manager reads anything: a store that exists must be a readable regular file (an
// empty store in its place would later be saved over the user's records), and copies that a
// killed install left half done are finished. False after a message.
bool PrepareProfile() {
  std::u16string directory = u"localextensions";
  // Without a data root the manager reports the failure itself.
  if (!Logic::GetDataDirectory(Logic::kDataDirectorySystem, &directory, 0, u"")) return true;
  const fs::path data_directory = halcy::ToNativePath(directory);
  const std::string store = (data_directory / "extdb_v2.json").string();
  std::string bytes, problem;
  if (ReadFileBytes(store, &bytes, &problem) == ReadResult::kRefused) {
    std::fprintf(stderr, "plexore-host: the extension store %s %s\n", store.c_str(),
                 problem.c_str());
    return false;
  }
  RecoverInterruptedCopies(data_directory, [&](const fs::path& target) {
    return StoreNamesCopy(store, data_directory, target);
  });
  return true;
}

// Counts this start of the browser in the cache store's "Pref_Browser_Start_Counter" (one
// decimal string), which the install guide reads to tell the browser's first start. A counter
// that is not a number starts again at 1; nothing happens without a store.
void CountBrowserStart(CHostServices* services) {
  ComPtr<Logic::ICacheStore> store;
  if (!services->channel_info() ||
      FAILED(services->channel_info()->GetCacheStore(store.ReleaseAndGetAddressOf())) || !store) {
    return;
  }
  constexpr char16_t kCounter[] = u"Pref_Browser_Start_Counter";
  long long starts = 0;
  ComPtr<IStringList> list;
  halcy::ScopedBstr value;
  if (SUCCEEDED(store->ReadEntry(kCounter, 1, list.ReleaseAndGetAddressOf())) && list &&
      SUCCEEDED(list->GetAt(0, value.Receive()))) {
    const std::string text = halcy::Utf16ToUtf8(value.View());
    if (!text.empty() && text.size() <= 9 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
      starts = std::stoll(text);
    }
  }
  ComPtr<IStringList> next;
  if (FAILED(halcy::CreateStringList(IStringList::kIID, next.ReleaseAndGetVoidAddress())) || !next)
    return;
  next->Append(halcy::Utf8ToUtf16(std::to_string(starts + 1)).c_str());
  store->WriteEntry(kCounter, next.Get());
}

}  // namespace

// The module's own objects that the browser publishes as services, so that the module's parts
// find each other through the object factory: the extension manager, its permission manager,
// its notification manager and its context menu manager. Withdrawn again when the session ends.
class CModuleServices {
 public:
  explicit CModuleServices(Logic::IExtensionMgr* mgr) {
    Publish(Logic::IExtensionMgr::kIID, mgr);
    Publish(Logic::kIID_IPermissionMgr, Create(u"CCoPermissionMgr").Get());
    Publish(Logic::kIID_IExtensionNotifyMgr, Create(u"CExtensionNotifyMgr").Get());
    Publish(Logic::kIID_IExtensionContextMenuMgr, Create(u"CCoExtensionContextMenuMgr").Get());
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

  CServiceRegistrations registrations_;  // withdrawn when the session ends
};

// --- CSessionListener ---

void CSessionListener::SetCallbackPrinter(std::function<void(const std::string&)> printer) {
  std::lock_guard<std::mutex> lock(mutex_);
  printer_ = std::move(printer);
}

void CSessionListener::Print(const char* call, const std::string& args) {
  std::function<void(const std::string&)> printer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    printer = printer_;
  }
  if (printer) {
    printer(std::string("{\"to\":\"listener\",\"call\":\"") + call + "\",\"args\":[" + args + "]}");
  }
}

HRESULT CSessionListener::OnFirstReady() {
  std::function<void(const std::string&)> printer;
  {
    // Taken with ready_: a printer set once start-up is seen complete does not print the
    // OnFirstReady that completed it.
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
    printer = printer_;
    changed_.notify_all();
  }
  if (printer) printer("{\"to\":\"listener\",\"call\":\"OnFirstReady\",\"args\":[]}");
  return S_OK;
}

HRESULT CSessionListener::OnLocalExtensionList(BSTR extension_ids) {
  const std::u16string ids = extension_ids ? std::u16string(extension_ids) : std::u16string();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    list_ = ids;
    has_list_ = true;
  }
  Print("OnLocalExtensionList", JsonQuoted(ids));
  return S_OK;
}

HRESULT CSessionListener::OnDllProcessState(BOOL running) {
  Print("OnDllProcessState", running ? "true" : "false");
  return S_OK;
}

HRESULT CSessionListener::OnExtensionStateChanged(BSTR extension_id, LONG state) {
  const std::u16string id = extension_id ? std::u16string(extension_id) : std::u16string();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_.push_back({id, state});
    changed_.notify_all();
  }
  Print("OnExtensionStateChanged", JsonQuoted(id) + "," + std::to_string(state));
  return S_OK;
}

bool CSessionListener::WaitReady(std::chrono::seconds limit, bool* has_list, std::u16string* list) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool ready = changed_.wait_for(lock, limit, [this] { return ready_; });
  *has_list = has_list_;
  *list = list_;
  return ready;
}

void CSessionListener::MarkStateChanges() {
  std::lock_guard<std::mutex> lock(mutex_);
  mark_ = changes_.size();
}

bool CSessionListener::WaitStateChange(const std::u16string& extension_id, LONG state,
                                       std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    for (size_t i = mark_; i < changes_.size(); ++i) {
      if (changes_[i].id == extension_id && changes_[i].state == state) return true;
    }
    return false;
  });
}

// --- CManagerSession ---

CManagerSession::CManagerSession(CHostServices* services) : services_(services) {}

CManagerSession::~CManagerSession() { Stop(); }

bool CManagerSession::Start(const std::string& module_path) {
  if (!PrepareProfile()) return false;
  CountBrowserStart(services_);
  mgr_ = CreateExtensionMgr(module_path);
  if (!mgr_) return false;
  module_services_ = std::make_unique<CModuleServices>(mgr_.Get());
  listener_ = halcy::MakeComObject<CSessionListener>();
  if (!StartOnUiThread(services_, mgr_.Get(), listener_.Get())) {
    std::fprintf(stderr, "plexore-host: switch user could not be started\n");
    return false;
  }
  started_ = true;
  if (!listener_->WaitReady(kManagerLimit, &has_list_, &startup_list_)) {
    std::fprintf(stderr, "plexore-host: start-up did not complete (no OnFirstReady)\n");
    return false;
  }
  return true;
}

void CManagerSession::Stop() {
  if (started_) mgr_->UnInitialize();
  started_ = false;
}

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

}  // namespace host
