// CExtensionMgrImpl: start-up (SwitchUser_BackThread) and shut-down (UnInitialize_BackThread)
// on the extension-manager thread, with the start-up's database, statistics and skin steps.

#include <vector>

#include "command/ext_cmd_host.h"
#include "command/ext_common_cmd_host.h"
#include "command/ext_menu_cmd_host.h"
#include "command/extension_context_menu_mgr.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/version.h"
#include "extension/data_converter.h"
#include "extension/extension_agent.h"
#include "extension/extension_context_items.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "extension/permission_gate.h"
#include "module/browser_info_services.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "thread/thread_post.h"
#include "update/extension_app_guild.h"
#include "update/extension_tracker.h"

namespace Logic {
namespace {

// The built-in extension set, below the browser's installation directory.
constexpr char16_t kBuiltInExtensions[] = u"resource\\userdata\\localextensions";
constexpr char16_t kSkinPrefix[] = u"extskin:";
constexpr int kExternalHostOfSlot16 = 0;
constexpr int kExternalHostStartedAtStartup = 2;  // class {3C76F1DE-...}

// A counted reference held under `lock`: a copy, or taken out (leaving null).
template <class T>
ComPtr<T> CopyUnder(base::CLock& lock, const ComPtr<T>& held) {
  base::CAutoLock hold(lock);
  return held;
}
template <class T>
ComPtr<T> TakeUnder(base::CLock& lock, ComPtr<T>& held) {
  base::CAutoLock hold(lock);
  return std::move(held);
}

bool IsFile(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

void CExtensionMgrImpl::SwitchUser_BackThread(std::u16string user_name, LONG user_value) {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    browser_version_ = ReadBrowserVersion();  // 1
    user_name_ = std::move(user_name);
    user_value_ = user_value;
  }
  // The permission gate's setting is read again for each user, so a changed
  // extensionMgrConfig.ini takes effect at the next switch.
  enforce_permissions_.store(ReadPermissionEnforcement() ? 1 : 0, std::memory_order_relaxed);
  InstalledMap emptied;  // 2: released after the lock is gone
  {
    base::CAutoLock hold(installed_lock_);
    emptied.swap(installed_);
  }
  emptied.clear();
  // Directories left by deletes of the previous user are tried again first.
  WorkOffPendingDeletions(false);
  if (!PrepareDatabase()) return;  // 3, 4: without a database nothing is announced
  // The extension-DLL process starts before the extensions do, so that the libraries loaded in
  // step 5 wait in its queue for the child's hello.
  StartDllProcessHost();
  started_.store(true);          // the web-page operations take requests from here on
  LoadInstalledExtensions();     // 5
  StartTracker();                // 6
  AlignUIPointsWithInstalled();  // 7
  // 8: the context-menu manager gets the items of the running extensions and tells its
  // listeners; then the tracker begins its work.
  // The manager is looked up once for all of them; without one there is nothing to add to.
  if (ComPtr<IExtensionContextMenuMgr> menus = GetExtensionContextMenuMgr()) {
    for (const auto& [id, agent] : InstalledCopy()) AddContextMenuItems(agent.Get(), menus.Get());
    menus->Refresh();
  }
  CheckBuiltinWithTracker();
  StartGuild();                            // 9
  ExternalCmdHost(kExternalHostOfSlot16);  // 10: absent when the class is not available
  ExternalCmdHost(kExternalHostStartedAtStartup);
  StartCommonCmdHost();         // 11, then the menu command host after it
  RecordExtensionStatistics();  // 12
  RegisterSkinPrefix();         // 13
  Log(kLogTrace, u"DebugNoPlugin;", u"Broadcast FirstReady");  // 14
  BroadcastToListeners(0, [](IExtensionMgrListener* listener) { return listener->OnFirstReady(); });
}

bool CExtensionMgrImpl::PrepareDatabase() {
  std::shared_ptr<CExtensionDB> db = database();
  if (!db) {
    std::u16string system_dir;
    if (!GetDataDirectory(kDataDirectorySystem, &system_dir, 0, u"")) return false;
    if (!system_dir.empty() && (system_dir.back() == u'\\' || system_dir.back() == u'/')) {
      system_dir.pop_back();
    }
    const std::u16string directory =
        halcy::StringPrintf(u"%s\\%s", system_dir.c_str(), kExtensionDbFolder);
    const std::u16string db_path = halcy::StringPrintf(u"%s\\%s\\%s", system_dir.c_str(),
                                                       kExtensionDbFolder, kExtensionDbFileName);
    if (!IsFile(db_path)) {
      Log(kLogTrace, u"extKvt;", u"extKvt: Begin copy from install dir sync");
      RunDataConverter(u"convert", u"extension", directory);
      if (!IsFile(db_path)) {
        const std::u16string source =
            halcy::StringPrintf(u"%s\\%s", GetBrowserDirectory().c_str(), kBuiltInExtensions);
        if (!PathFileExistsW(source.c_str()) || !CopyPath(source, directory, true)) {
          Log(kLogFailure, u"extKvt;", u"extKvt: copy of the built-in extensions from %s failed",
              source.c_str());
          return false;
        }
      }
    }
    db = CExtensionDB::Create(kExtensionDbRelativePath);
    if (!db) return false;
    db->set_versions(ReadExtensionVersionFile(
        halcy::StringPrintf(u"%s\\%s", directory.c_str(), kExtensionVersionFileName)));
    std::lock_guard<std::mutex> lock(state_mutex_);
    db_ = db;
  }
  if (!db->IsOpen() && FAILED(db->Open())) {
    Log(kLogFailure, u"extMgr;", u"extMgr: the extension database %s cannot be opened",
        db->relative_path().c_str());
  }
  return true;
}

void CExtensionMgrImpl::LoadInstalledExtensions() {
  std::vector<ComPtr<IExtensionAgent>> agents;
  // A closed database answers E_FAIL and no agents: the list is then empty.
  database()->Query(kQueryWholeRecords, kQueryAllStates, &agents);
  std::u16string ids;
  for (const ComPtr<IExtensionAgent>& agent : agents) {
    RegisterInstalled(agent);
    ids += AgentText(agent.Get(), &IExtensionAgent::GetId);
    ids += u',';
    StartExtension(agent.Get());
  }
  if (!ids.empty()) ids.pop_back();
  Log(kLogTrace, u"DebugNoPlugin;", u"Broadcast LocalExtensionList");
  BroadcastToListeners(0, [ids](IExtensionMgrListener* listener) {
    halcy::ScopedBstr text(ids);
    return listener->OnLocalExtensionList(text.Get());
  });
}

void CExtensionMgrImpl::RecordExtensionStatistics() {
  ComPtr<IStatisticsService> statistics = GetStatisticsService();
  if (!statistics) return;  // skipped silently
  ComPtr<IPropertySet> properties = NewPropertySet();
  if (!properties) return;
  halcy::ScopedBstr version;
  if (ComPtr<IVersionService> versions = GetVersionService()) {
    versions->GetBrowserVersion(version.Receive());
  }
  const std::u16string version_text(version.View());
  const ExtensionDataVersions& db_versions = database()->versions();
  properties->SetValue(u"version", version_text.c_str());
  properties->SetValue(u"client", u"browser");
  properties->SetValue(u"DBVersion", db_versions.db_version.c_str());
  properties->SetValue(u"DataVersion", db_versions.data_version.c_str());
  for (const auto& [id, agent] : InstalledCopy()) {
    LONG state = 0;
    agent->GetState(&state);
    properties->SetValue((u"ExtID_" + id).c_str(), state != 0 ? u"enabled" : u"disabled");
  }
  statistics->RecordAction(u"UserAction", u"UserExtensionState", 2, properties.Get());
}

// Creates a command host by the IID of `I`, attaches `manager` and registers the host's
// IExtCmdHost; null when the class is not available (commands then find no such host).
template <class I>
ComPtr<I> CreateCmdHost(CExtensionMgrImpl* manager) {
  ComPtr<I> host;
  Util::Com::CreateObjectByIID(I::kIID, host.ReleaseAndGetVoidAddress());
  if (!host) return nullptr;
  host->SetExtensionMgr(manager);
  ComPtr<IExtCmdHost> handler;
  if (FAILED(host->QueryInterface(IExtCmdHost::kIID, handler.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  manager->RegisterCmdHost(handler.Get());
  return host;
}

void CExtensionMgrImpl::StartCommonCmdHost() {
  bool have_common = false, have_menu = false;
  {
    base::CAutoLock hold(cmd_host_lock_);
    have_common = common_cmd_host_.Get() != nullptr;
    have_menu = menu_cmd_host_.Get() != nullptr;
  }
  // The common host is registered first, so that it is offered each command first.
  ComPtr<IExtCommonCmdHost> common = have_common ? nullptr : CreateCmdHost<IExtCommonCmdHost>(this);
  ComPtr<IExtMenuCmdHost> menu = have_menu ? nullptr : CreateCmdHost<IExtMenuCmdHost>(this);
  base::CAutoLock hold(cmd_host_lock_);
  if (common) common_cmd_host_ = std::move(common);
  if (menu) menu_cmd_host_ = std::move(menu);
}

void CExtensionMgrImpl::StartTracker() {
  ComPtr<IExtensionTracker> tracker = Tracker();
  if (!tracker) tracker = ComPtr<IExtensionTracker>(halcy::MakeComObject<CExtensionTracker>());
  if (!tracker) return;  // the tracker stays absent, as a failed creation leaves it
  tracker->SetExtensionMgr(this);
  tracker->Start();
}

void CExtensionMgrImpl::CheckBuiltinWithTracker() {
  if (ComPtr<IExtensionTracker> tracker = Tracker()) tracker->CheckBuiltinExtensions();
}

void CExtensionMgrImpl::RegisterTracker(IExtensionTracker* tracker) {
  base::CAutoLock hold(tracker_lock_);
  tracker_ = ComPtr<IExtensionTracker>(tracker);
}

ComPtr<IExtensionTracker> CExtensionMgrImpl::Tracker() const {
  return CopyUnder(tracker_lock_, tracker_);
}

void CExtensionMgrImpl::StopTracker() {
  if (ComPtr<IExtensionTracker> tracker = TakeUnder(tracker_lock_, tracker_)) tracker->Stop();
}

bool CExtensionMgrImpl::HandGuildTheManager(IExtensionAppGuild* guild) {
  base::RefPtr<CExtensionMgrImpl> self(this);
  ComPtr<CCoExtensionMgr> view = halcy::MakeComObject<CCoExtensionMgr>(self);
  // E_FAIL without "extensionMgrConfig.ini": the guide then has no manager and does nothing.
  return view && SUCCEEDED(guild->SetExtensionMgr(static_cast<IExtensionMgr*>(view.Get())));
}

void CExtensionMgrImpl::StartGuild() {
  ComPtr<IExtensionAppGuild> guild = Guild();  // one made by an earlier GetExtensionAppGuild
  if (!guild) guild = ComPtr<IExtensionAppGuild>(halcy::MakeComObject<CExtensionAppGuild>());
  if (!guild || !HandGuildTheManager(guild.Get())) return;  // no configuration: none at work
  {
    base::CAutoLock hold(guild_lock_);
    guild_ = guild;
  }
  guild->Start();
}

HRESULT CExtensionMgrImpl::GetExtensionAppGuild(IExtensionAppGuild** guild) {
  if (!guild) return E_POINTER;
  ComPtr<IExtensionAppGuild> held = Guild();
  if (!held) {
    ComPtr<IExtensionAppGuild> created(halcy::MakeComObject<CExtensionAppGuild>());
    if (!created) return E_FAIL;
    // A guide that refuses the manager (no configuration file) still answers; it does nothing.
    HandGuildTheManager(created.Get());
    base::CAutoLock hold(guild_lock_);
    if (!guild_) guild_ = created;  // a concurrent first use keeps the first guide
    held = guild_;
  }
  return held->QueryInterface(IExtensionAppGuild::kIID, reinterpret_cast<void**>(guild));
}

ComPtr<IExtensionAppGuild> CExtensionMgrImpl::Guild() const {
  return CopyUnder(guild_lock_, guild_);
}

void CExtensionMgrImpl::StopGuild() {
  ComPtr<IExtensionAppGuild> guild = TakeUnder(guild_lock_, guild_);
  if (!guild) return;
  // Stop ends the guide's downloads, which live on the extension-manager thread: it runs there,
  // at once when called there. Without that thread (the host is going) it runs here.
  DWORD manager_thread = 0;
  ComPtr<Thread::IThreadService> threads = Thread::GetThreadService();
  if (threads) threads->GetThreadId(Thread::kThreadExtensionManager, &manager_thread);
  if (manager_thread == 0 || manager_thread == GetCurrentThreadId()) {
    guild->Stop();
    return;
  }
  Thread::CTask* task =
      Thread::NewFuncTask([guild] { guild->Stop(); }, u"&CExtensionAppGuild::Stop");
  if (!task || !Thread::PostTaskToThread(manager_thread, task)) guild->Stop();
}

void CExtensionMgrImpl::ReportReinstall(const std::u16string& extension_id, HRESULT result,
                                        const ComPtr<IUnknown>& requester) {
  ComPtr<IExtensionAppGuild> guild = Guild();
  if (!guild) return;
  ComPtr<IUnknown> identity;
  guild->QueryInterface(IUnknown::kIID, identity.ReleaseAndGetVoidAddress());
  if (requester && identity.Get() == requester.Get()) return;  // told through its callback
  halcy::ScopedBstr id(extension_id);
  guild->OnInstallResult(id.Get(), result == S_OK ? TRUE : FALSE);
}

void CExtensionMgrImpl::RegisterSkinPrefix() {
  ComPtr<ISkinService> skin = GetSkinService();
  if (!skin) return;
  const std::u16string directory = DataDirectory();
  if (!directory.empty()) skin->RegisterPathPrefix(kSkinPrefix, directory.c_str());
}

void CExtensionMgrImpl::UnInitialize_BackThread() {
  started_.store(false);
  DropPendingSnapshots();
  // The manager releases its background cores, the tracker, the install guide and its command
  // hosts, and clears the click handlers. The web-view host is touched only on the UI thread and
  // goes with the manager.
  std::vector<BkCoreRecord> cores = bk_cores_.TakeAll();
  ClearUIListener();
  StopTracker();
  StopGuild();
  {
    base::CAutoLock hold(starting_lock_);
    starting_pages_.clear();  // pages still being created get no core
  }
  std::vector<ComPtr<IExtCmdHost>> hosts;
  ComPtr<IExtCmdHost> external[3];
  ComPtr<IExtCommonCmdHost> common;
  ComPtr<IExtMenuCmdHost> menu;
  {
    base::CAutoLock hold(cmd_host_lock_);
    hosts.swap(cmd_hosts_);
    common = std::move(common_cmd_host_);
    menu = std::move(menu_cmd_host_);
    for (int i = 0; i < 3; ++i) external[i] = std::move(external_hosts_[i]);
  }
  // The extension-DLL process ends here: the shutdown message, the channel closed, the child
  // waited for.
  StopDllProcessHost(false);
  // Released here, with no lock held. The database wrapper stays for the next switch user.
  // What cannot be deleted now (a library still mapped by another process, say) is scheduled
  // for deletion at the next start, so the list never outlives the process.
  WorkOffPendingDeletions(true);
}

}  // namespace Logic
