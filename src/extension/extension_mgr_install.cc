// CExtensionMgrImpl: changes of the installed set on the extension-manager thread: install,
// update, enable, disable and delete, the unload message to the extension-DLL host, the
// pending-deletion list and the usage statistics written on the way.
// Disable and delete also close the extension's tabs, withdraw its UI extension points and close
// its background core on the core's owner thread.

#include <string_view>

#include "common/extension_rules.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/version.h"
#include "extension/bk_core_table.h"
#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_context_items.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "module/browser_info_services.h"
#include "module/services.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

// "/" turned into "\" and no trailing "\".
std::u16string NormalizeDirectory(std::u16string directory) {
  for (char16_t& c : directory) {
    if (c == u'/') c = u'\\';
  }
  while (!directory.empty() && directory.back() == u'\\') directory.pop_back();
  return directory;
}

bool DirectoryExists(const std::u16string& directory) {
  const DWORD attributes = GetFileAttributesW(directory.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The text of "<directory>\manifest.json" when it parses as an object and is not larger than
// kMaxManifestBytes; empty and E_FAIL otherwise.
HRESULT ReadManifestText(const std::u16string& directory, std::u16string* text) {
  const std::u16string path = halcy::StringPrintf(u"%s\\%s", directory.c_str(), u"manifest.json");
  FileInfo info;
  if (GetFileInfo(path, &info) && info.size > static_cast<int64_t>(kMaxManifestBytes)) {
    Log(kLogFailure, u"extMgr;", u"extMgr: %s is %I64d bytes, more than a manifest may be",
        path.c_str(), info.size);
    return E_FAIL;
  }
  std::unique_ptr<CJsonValue> manifest = ParseJsonFile(path);
  if (!manifest || !manifest->IsObject()) return E_FAIL;
  *text = ToJsonString(*manifest);
  return S_OK;
}

ComPtr<IExtensionAgent> NewAgent() {
  ComPtr<IExtensionAgent> agent;
  Util::Com::CreateObjectByIID(IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress());
  return agent;
}

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return halcy::AsciiToLower(a) == halcy::AsciiToLower(b);
}

// Percent-encoding of the UTF-8 bytes of `text`; letters, digits and "-_.~" stay as they are.
std::u16string UrlEncode(const std::u16string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::u16string out;
  for (unsigned char byte : halcy::Utf16ToUtf8(text)) {
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.' || byte == '~') {
      out += static_cast<char16_t>(byte);
    } else {
      out += u'%';
      out += static_cast<char16_t>(kHex[byte >> 4]);
      out += static_cast<char16_t>(kHex[byte & 15]);
    }
  }
  return out;
}

// False, with a log line, for an id that cannot name an extension's directory.
bool IsAcceptableId(const std::u16string& extension_id) {
  if (CheckExtensionId(extension_id) == ExtensionIdCheck::kUsable) return true;
  Log(kLogFailure, u"extMgr;", u"extMgr: refused extension id '%s'", extension_id.c_str());
  return false;
}

}  // namespace

// --- Posting ---

HRESULT CExtensionMgrImpl::PostExtensionTask(HRESULT (CExtensionMgrImpl::*task)(std::u16string),
                                             const char16_t* name, BSTR extension_id) {
  Thread::CTask* posted = Thread::NewTask(this, task, name, Text(extension_id));
  if (!posted) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, posted) ? S_OK : E_FAIL;
}

HRESULT CExtensionMgrImpl::DisableExtension(BSTR extension_id) {
  return PostExtensionTask(&CExtensionMgrImpl::DisableExtension_BackThread,
                           u"&CExtensionMgrImpl::DisableExtension_BackThread", extension_id);
}

HRESULT CExtensionMgrImpl::EnableExtension(BSTR extension_id) {
  return PostExtensionTask(&CExtensionMgrImpl::EnableExtension_BackThread,
                           u"&CExtensionMgrImpl::EnableExtension_BackThread", extension_id);
}

HRESULT CExtensionMgrImpl::DeleteExtension(BSTR extension_id) {
  return PostExtensionTask(&CExtensionMgrImpl::DeleteExtension_BackThread,
                           u"&CExtensionMgrImpl::DeleteExtension_BackThread", extension_id);
}

namespace {

using InstallTask = HRESULT (CExtensionMgrImpl::*)(std::u16string, LONG, LONG, std::u16string);

// Four arguments: posted as a bound call under the task's own name.
HRESULT PostInstallTask(CExtensionMgrImpl* mgr, InstallTask method, const char16_t* name,
                        std::u16string extension_id, LONG flags, LONG state,
                        std::u16string directory, CExtensionMgrImpl::InstallDone done) {
  base::RefPtr<CExtensionMgrImpl> self(mgr);
  Thread::CTask* task = Thread::NewFuncTask(
      [self, method, extension_id, flags, state, directory, done] {
        const HRESULT hr = ((*self).*method)(extension_id, flags, state, directory);
        if (done) done(extension_id, hr);
      },
      name);
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

}  // namespace

HRESULT CExtensionMgrImpl::PostInstallExtension(std::u16string extension_id, LONG flags, LONG state,
                                                std::u16string directory, InstallDone done,
                                                ComPtr<IUnknown> requester) {
  base::RefPtr<CExtensionMgrImpl> self(this);
  Thread::CTask* task = Thread::NewFuncTask(
      [self, extension_id, flags, state, directory, done, requester] {
        // An install over an installed id is a reinstall: the guide hears its outcome, whatever
        // it is. The lookup and the install run back to back on this thread.
        const bool reinstall = self->InstalledAgent(extension_id) != nullptr;
        const HRESULT hr = self->InstallExtension_BackThread(extension_id, flags, state, directory);
        if (done) done(extension_id, hr);
        if (reinstall) self->ReportReinstall(extension_id, hr, requester);
      },
      u"&CExtensionMgrImpl::InstallExtension_BackThread");
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

HRESULT CExtensionMgrImpl::PostUpdateExtension(std::u16string extension_id, LONG flags, LONG state,
                                               std::u16string directory, InstallDone done) {
  return PostInstallTask(this, &CExtensionMgrImpl::UpdateExtension_BackThread,
                         u"&CExtensionMgrImpl::UpdateExtension_BackThread", std::move(extension_id),
                         flags, state, std::move(directory), std::move(done));
}

// --- Install and update ---

bool CExtensionMgrImpl::BrowserOlderThan(IExtensionAgent* manifest_holder) {
  halcy::ScopedBstr lowest;
  manifest_holder->GetLowestBrowser(lowest.Receive());
  return CompareVersion(GetBrowserVersion(), lowest.View()) < 0;
}

HRESULT CExtensionMgrImpl::InstallExtension_BackThread(std::u16string extension_id, LONG flags,
                                                       LONG state, std::u16string directory) {
  std::shared_ptr<CExtensionDB> db = database();
  if (!db) return S_FALSE;
  if (!IsAcceptableId(extension_id)) return E_FAIL;
  directory = NormalizeDirectory(std::move(directory));
  if (!DirectoryExists(directory)) return S_FALSE;
  ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
  const bool reinstall = agent != nullptr;
  if (reinstall) {
    LONG online = 0;
    agent->GetSetupOnline(&online);
    if (online != 1) return S_FALSE;
  } else {
    if (!(agent = NewAgent())) return E_FAIL;
    halcy::ScopedBstr id(extension_id);
    agent->SetId(id.Get());
    agent->SetFlags(flags);
    agent->SetState(state);
  }
  std::u16string manifest;
  HRESULT hr = ReadManifestText(directory, &manifest);
  ComPtr<IExtensionAgent> scratch = SUCCEEDED(hr) ? NewAgent() : nullptr;
  if (SUCCEEDED(hr) && !scratch) hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    halcy::ScopedBstr text(manifest);
    scratch->SetManifest(text.Get());
    if (BrowserOlderThan(scratch.Get())) hr = E_FAIL;
  }
  std::u16string old_manifest;
  if (SUCCEEDED(hr)) {
    const std::u16string own =
        halcy::StringPrintf(u"%s\\%s", DataDirectory().c_str(), extension_id.c_str());
    const std::u16string recorded =
        EqualsIgnoringCase(directory, own)
            ? halcy::StringPrintf(u"%s%s", std::u16string(kExtDbPathPrefix).c_str(),
                                  extension_id.c_str())
            : directory;
    halcy::ScopedBstr recorded_text(recorded), text(manifest);
    if (reinstall) old_manifest = AgentText(agent.Get(), &IExtensionAgent::GetManifest);
    agent->SetDirectory(recorded_text.Get());
    agent->SetManifest(text.Get());
    hr = StoreInstalled(agent, reinstall);
  }
  if (reinstall) {
    if (FAILED(hr) && !old_manifest.empty()) {
      halcy::ScopedBstr text(old_manifest);
      agent->SetManifest(text.Get());
    }
    // The install guide hears the outcome from the posting task (PostInstallExtension), which
    // knows who asked.
  }
  return hr;
}

HRESULT CExtensionMgrImpl::StoreInstalled(const ComPtr<IExtensionAgent>& agent, bool reinstall) {
  std::shared_ptr<CExtensionDB> db = database();
  const std::u16string id = AgentText(agent.Get(), &IExtensionAgent::GetId);
  HRESULT hr = reinstall ? db->Update(id, agent.Get()) : db->AddExtension(agent.Get());
  if (FAILED(hr)) return E_FAIL;
  // Enters the map and replaces the permission set with the one of the new manifest.
  RegisterInstalled(agent);
  if (reinstall) WithdrawUIPoints(id, 1);  // refresh
  // In state 1 or 2 its background page starts (a reinstall's new core replaces the old one in
  // the table) and its buttons are registered.
  StartExtension(agent.Get());
  if (IsAgentRunning(agent.Get())) RegisterUIPoints(agent.Get(), 0);
  RegisterContextMenuItems(agent.Get(), reinstall);
  return S_OK;
}

HRESULT CExtensionMgrImpl::UpdateExtension_BackThread(std::u16string extension_id, LONG flags,
                                                      LONG state, std::u16string directory) {
  std::shared_ptr<CExtensionDB> db = database();
  if (!db) return S_FALSE;
  if (!IsAcceptableId(extension_id)) return E_FAIL;
  directory = NormalizeDirectory(std::move(directory));
  if (!DirectoryExists(directory)) return S_FALSE;
  ComPtr<IExtensionAgent> agent = NewAgent();
  if (!agent) return E_FAIL;
  halcy::ScopedBstr id(extension_id), dir(directory);
  agent->SetId(id.Get());
  agent->SetFlags(flags);
  agent->SetState(state);
  agent->SetDirectory(dir.Get());
  std::u16string manifest;
  if (FAILED(ReadManifestText(directory, &manifest))) return E_FAIL;
  halcy::ScopedBstr text(manifest);
  agent->SetManifest(text.Get());
  if (BrowserOlderThan(agent.Get())) {
    // An update the browser cannot take is not kept.
    if (!DeletePath(directory, true)) AddPendingDeletion(directory);
    return S_FALSE;
  }
  const HRESULT hr = db->UpdateRecord(agent.Get());
  // The permission set follows the new manifest of an installed extension at once, so that a
  // narrowed list takes effect without waiting for the next start.
  if (SUCCEEDED(hr) && InstalledAgent(extension_id)) {
    if (ComPtr<IPermissionMgr> permissions = GetPermissionMgr())
      permissions->AddExtension(agent.Get());
  }
  return hr;
}

// --- Enable, disable, delete ---

HRESULT CExtensionMgrImpl::EnableExtension_BackThread(std::u16string extension_id) {
  ComPtr<IExtensionAgent> agent;
  {
    base::CAutoLock hold(installed_lock_);
    auto it = installed_.find(extension_id);
    if (it != installed_.end()) agent = it->second;
  }
  if (agent) {
    agent->SetState(1);
    std::shared_ptr<CExtensionDB> db = database();
    if (db && db->IsOpen()) db->SetState(extension_id, 1);
    // Its background page starts again (or its library is loaded); a core still in the table is
    // replaced. A
    // restart of the DLL process after a crash runs whole within one task on this thread, so
    // an enable never finds one under way: there is no OnDllProcessState to send here.
    StartExtension(agent.Get());
    RegisterUIPoints(agent.Get(), 0);
    RegisterContextMenuItems(agent.Get(), false);
    RecordPluginFunction(extension_id, agent.Get(), true);
  }
  BroadcastStateChanged(extension_id, 1);
  return S_OK;
}

HRESULT CExtensionMgrImpl::DisableExtension_BackThread(std::u16string extension_id) {
  ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
  if (agent) {
    agent->SetState(0);
    std::shared_ptr<CExtensionDB> db = database();
    if (db && db->IsOpen()) db->SetState(extension_id, 0);
    CloseExtensionParts(extension_id);
    // An extension with a library runs as the library, whether or not it names a page too.
    const bool native = !AgentText(agent.Get(), &IExtensionAgent::GetLibraryPath).empty();
    const bool page = !AgentText(agent.Get(), &IExtensionAgent::GetBackgroundPage).empty();
    if (native || !page) UnloadLibrary(extension_id);
    if (page) {
      // A page still being created is dropped; its background core goes with its table entry.
      DropStartingPage(extension_id);
      CloseBackgroundCore(extension_id);
    }
    RecordPluginFunction(extension_id, agent.Get(), false);
  }
  BroadcastStateChanged(extension_id, 0);
  return S_OK;
}

HRESULT CExtensionMgrImpl::DeleteExtension_BackThread(std::u16string extension_id) {
  ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
  if (!agent) return S_OK;
  agent->SetState(0);
  std::shared_ptr<CExtensionDB> db = database();
  if (db) db->Remove(extension_id);
  CloseExtensionParts(extension_id);
  DropStartingPage(extension_id);
  CloseBackgroundCore(extension_id);
  const std::u16string directory =
      ResolveExtensionPath(AgentText(agent.Get(), &IExtensionAgent::GetDirectory));
  if (AgentText(agent.Get(), &IExtensionAgent::GetLibraryPath).empty()) {
    if (!directory.empty() && !DeletePath(directory, true)) AddPendingDeletion(directory);
  } else {
    // The library keeps its files open until the DLL process has unloaded it.
    UnloadLibrary(extension_id);
    if (!directory.empty()) AddPendingDeletion(directory);
  }
  UnregisterInstalled(extension_id);  // the map entry and the permission set
  BroadcastStateChanged(extension_id, 0);
  return S_OK;
}

void CExtensionMgrImpl::CloseExtensionParts(const std::u16string& extension_id) {
  _CloseTabByURL(extension_id);  // on the UI thread
  WithdrawUIPoints(extension_id, 0);
  RemoveContextMenuItems(extension_id);
}

void CExtensionMgrImpl::CloseBackgroundCore(const std::u16string& extension_id) {
  BkCoreRecord record;
  if (!bk_cores_.Find(extension_id, &record)) return;
  bk_cores_.Remove(extension_id);
  if (!record.core) return;
  // The core is the owner thread's: it is closed, and let go of, there.
  Thread::CallOnThread(record.owner_thread, [core = std::move(record.core)]() mutable {
    core->Close();
    core = nullptr;
  });
}

void CExtensionMgrImpl::RecordPluginFunction(const std::u16string& extension_id,
                                             IExtensionAgent* agent, bool enabled) {
  ComPtr<IStatisticsService> statistics = GetStatisticsService();
  if (!statistics) return;  // skipped silently
  ComPtr<IPropertySet> properties = NewPropertySet();
  if (!properties) return;
  const std::u16string name = UrlEncode(AgentText(agent, &IExtensionAgent::GetName));
  properties->SetValue(u"AppId", extension_id.c_str());
  properties->SetValue(u"name", name.c_str());
  statistics->RecordAction(u"Function", enabled ? u"PluginEnable" : u"PluginDisable", 2,
                           properties.Get());
}

// --- Pending deletions ---

void CExtensionMgrImpl::AddPendingDeletion(const std::u16string& directory) {
  base::CAutoLock hold(pending_deletion_lock_);
  for (const std::u16string& pending : pending_deletions_) {
    if (EqualsIgnoringCase(pending, directory)) return;
  }
  pending_deletions_.push_back(directory);
}

std::vector<std::u16string> CExtensionMgrImpl::PendingDeletions() const {
  base::CAutoLock hold(pending_deletion_lock_);
  return pending_deletions_;
}

void CExtensionMgrImpl::WorkOffPendingDeletions(bool at_reboot) {
  std::vector<std::u16string> pending;
  {
    base::CAutoLock hold(pending_deletion_lock_);
    pending.swap(pending_deletions_);
  }
  std::vector<std::u16string> kept;
  for (const std::u16string& directory : pending) {
    if (DeletePath(directory, true)) continue;
    if (at_reboot) {
      DeleteDirectoryAtReboot(directory, true);
    } else {
      kept.push_back(directory);
    }
  }
  for (const std::u16string& directory : kept) AddPendingDeletion(directory);
}

void CExtensionMgrImpl::BroadcastStateChanged(const std::u16string& extension_id, LONG state) {
  BroadcastToListeners(0, [extension_id, state](IExtensionMgrListener* listener) {
    halcy::ScopedBstr id(extension_id);
    return listener->OnExtensionStateChanged(id.Get(), state);
  });
}

}  // namespace Logic
