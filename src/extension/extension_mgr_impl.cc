// CExtensionMgrImpl: listeners, lookups and the interface operations that run on the caller's
// thread. Start-up and shut-down are in extension_mgr_startup.cc, the cached list in
// extension_mgr_cache.cc.

#include "extension/extension_mgr_impl.h"

#include <atomic>

#include "command/ext_cmd_host.h"
#include "common/log.h"
#include "extension/extension.h"
#include "extension/extension_agent.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_listener.h"
#include "extension/ui_ext_listener.h"
#include "extension/ui_ext_pt_mgr.h"
#include "module/browser_info_services.h"
#include "module/logic_global_service.h"
#include "module/services.h"
#include "module/user_service_manager.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"
#include "update/extension_app_guild.h"
#include "update/extension_tracker.h"

namespace Logic {
namespace {

// Module-wide: every manager object draws from the same sequence.
std::atomic<LONG> g_sequence_number{0};

// The classes of the external command hosts, in the order of external_hosts_.
constexpr GUID kExternalCmdHostClasses[3] = {
    MakeGuid("61AD4300-64AE-41BE-B9AD-C86D48A0C492"),  // slot 16
    MakeGuid("13D430E3-BF22-4B98-83DB-473D54A0AE2E"),  // slot 17
    MakeGuid("3C76F1DE-B8EC-4B2A-BE0B-DB60DAE4A403"),
};

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

HRESULT CopyOut(const std::u16string& text, BSTR* out) {
  *out = SysAllocString(text.c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

std::u16string AgentText(IExtensionAgent* agent, HRESULT (IExtensionAgent::*get)(BSTR*)) {
  halcy::ScopedBstr text;
  (agent->*get)(text.Receive());
  return std::u16string(text.View());
}

ComPtr<IPropertySet> NewPropertySet() {
  ComPtr<IPropertySet> properties;
  if (FAILED(Util::Com::CreateObjectByIID(IPropertySet::kIID,
                                          properties.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  return properties;
}

CExtensionMgrImpl::CExtensionMgrImpl(IExtensionMgr* owner)
    : owner_(owner), ui_listener_(halcy::MakeComObject<CUIExtListener>()) {}

CExtensionMgrImpl::~CExtensionMgrImpl() = default;

void CExtensionMgrImpl::DetachOwner() {
  owner_ = nullptr;
  // The listener's reference on the manager goes too, so the browser's hold on the listener
  // cannot keep the manager alive.
  ClearUIListener();
  // A manager released without uninitialize still ends its extension process, which also lets
  // go of the reference the process's host holds on the manager.
  StopDllProcessHost(false);
  // Also lets go of the tracker's and the guide's references on the manager.
  StopTracker();
  StopGuild();
  started_.store(false);
  DropPendingSnapshots();
}

// --- Listeners ---

HRESULT CExtensionMgrImpl::GetNextSequenceNumber(LONG* number) {
  if (!number) return E_INVALIDARG;
  *number = g_sequence_number.fetch_add(1, std::memory_order_relaxed) + 1;
  return S_OK;
}

HRESULT CExtensionMgrImpl::AddListener(LONG listener_id, DWORD thread_id,
                                       IExtensionMgrListener* listener,
                                       BOOL register_with_user_service) {
  const HRESULT hr = listeners_.Add(listener_id, thread_id, listener);
  if (SUCCEEDED(hr) && register_with_user_service) {
    RegisterWithUserService(kIID_IUserChangeListener, listener_id, listener, thread_id);
  }
  return hr;
}

HRESULT CExtensionMgrImpl::AddListenerOnCallingThread(IUnknown* user_listener,
                                                      IExtensionMgrListener* listener) {
  RegisterWithUserServiceOnCallingThread(kIID_IUserChangeListener, user_listener);
  return listeners_.Add(0, GetCurrentThreadId(), listener);
}

HRESULT CExtensionMgrImpl::BroadcastToListeners(LONG excluded_id, const ListenerCall& call) {
  return listeners_.CallEach(excluded_id, call);
}

// --- Start and stop ---

HRESULT CExtensionMgrImpl::SwitchUser() {
  InstallUIListener();
  halcy::ScopedBstr user_name;
  LONG user_value = 0;
  if (ComPtr<IUserServiceManager> users = GetUserServiceManager()) {
    users->GetCurrentUser(user_name.Receive(), &user_value);
  }
  ComPtr<ILogicGlobalService> global = GetLogicGlobalService();
  if (!global) return E_FAIL;
  Thread::CTask* task = Thread::NewTask(this, &CExtensionMgrImpl::SwitchUser_BackThread,
                                        u"&CExtensionMgrImpl::SwitchUser_BackThread",
                                        std::u16string(user_name.View()), user_value);
  if (!task) return E_OUTOFMEMORY;
  return global->PostTask(Thread::kThreadExtensionManager, task);
}

HRESULT CExtensionMgrImpl::UnInitialize() {
  Thread::CTask* task = Thread::NewTask(this, &CExtensionMgrImpl::UnInitialize_BackThread,
                                        u"&CExtensionMgrImpl::UnInitialize_BackThread");
  if (!task) return E_OUTOFMEMORY;
  Thread::PostTask(Thread::kThreadExtensionManager, task);
  WithdrawAllUIPoints();
  return S_OK;
}

// --- The installed set ---

void CExtensionMgrImpl::RegisterInstalled(const ComPtr<IExtensionAgent>& agent) {
  std::u16string id = AgentText(agent.Get(), &IExtensionAgent::GetId);
  if (id.empty()) return;
  ComPtr<IExtensionAgent> replaced;
  {
    base::CAutoLock hold(installed_lock_);
    ComPtr<IExtensionAgent>& slot = installed_[id];
    replaced = std::move(slot);
    slot = agent;
  }
  // The permission set follows the manifest just loaded; without a permission manager the
  // extension's gated commands are refused.
  if (ComPtr<IPermissionMgr> permissions = GetPermissionMgr())
    permissions->AddExtension(agent.Get());
  // Registering the extension's UI extension points comes with the UI extension points.
}

void CExtensionMgrImpl::UnregisterInstalled(const std::u16string& extension_id) {
  ComPtr<IExtensionAgent> removed;  // released after the lock
  {
    base::CAutoLock hold(installed_lock_);
    auto it = installed_.find(extension_id);
    if (it == installed_.end()) return;
    removed = std::move(it->second);
    installed_.erase(it);
  }
  if (ComPtr<IPermissionMgr> permissions = GetPermissionMgr()) {
    halcy::ScopedBstr id(extension_id);
    permissions->RemoveExtension(id.Get());
  }
}

ComPtr<IExtensionAgent> CExtensionMgrImpl::InstalledAgent(
    const std::u16string& extension_id) const {
  base::CAutoLock hold(installed_lock_);
  auto it = installed_.find(extension_id);
  return it == installed_.end() ? nullptr : it->second;
}

CExtensionMgrImpl::InstalledMap CExtensionMgrImpl::InstalledCopy() const {
  base::CAutoLock hold(installed_lock_);
  return installed_;
}

HRESULT CExtensionMgrImpl::GetInstalledExtensions(IStringList** extension_ids) {
  if (!extension_ids) return S_FALSE;
  ComPtr<IStringList> list;
  HRESULT hr = Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !list) return FAILED(hr) ? hr : E_FAIL;
  std::vector<std::u16string> ids;
  {
    base::CAutoLock hold(installed_lock_);
    ids.reserve(installed_.size());
    for (const auto& [id, agent] : installed_) ids.push_back(id);
  }
  for (const std::u16string& id : ids) list->Append(id.c_str());
  *extension_ids = list.Detach();
  return S_OK;
}

HRESULT CExtensionMgrImpl::GetExtensionAgent(BSTR extension_id, IExtensionAgent** agent) {
  const std::u16string id = Text(extension_id);
  Log(kLogTrace, u"extMgr;", u"extMgr: GetExtensionAgent %s", id.c_str());
  if (!agent) return S_FALSE;
  ComPtr<IExtensionAgent> found;
  {
    base::CAutoLock hold(installed_lock_);
    auto it = installed_.find(id);
    if (it != installed_.end()) found = it->second;
  }
  if (found) found->QueryInterface(IExtensionAgent::kIID, reinterpret_cast<void**>(agent));
  return S_OK;
}

HRESULT CExtensionMgrImpl::FindExtensionOfUrl(BSTR url, BSTR* extension_id) {
  if (!extension_id) return E_POINTER;
  const std::u16string wanted = halcy::AsciiToLower(Text(url));
  for (const auto& [id, agent] : InstalledCopy()) {
    halcy::ScopedBstr base;
    agent->GetBaseUrl(base.Receive());
    const std::u16string prefix = halcy::AsciiToLower(base.View());
    if (!prefix.empty() && wanted.starts_with(prefix)) return CopyOut(id, extension_id);
  }
  return E_FAIL;
}

HRESULT CExtensionMgrImpl::FindExtensionOfSink(LONG value1, LONG value2, BSTR* extension_id,
                                               BSTR url) {
  if (!extension_id) return E_FAIL;
  std::u16string found;
  if (fe_table_a_.FindByValues(value1, value2, &found)) return CopyOut(found, extension_id);
  if (!url || !*url) return E_FAIL;
  halcy::ScopedBstr owner;
  if (FindExtensionOfUrl(url, owner.Receive()) != S_OK) return E_FAIL;
  const std::u16string id(owner.View());
  fe_table_a_.Add({id, value1, value2, Text(url), GetCurrentThreadId()});
  return CopyOut(id, extension_id);
}

HRESULT CExtensionMgrImpl::GetNamedString(BSTR key, BSTR* value) {
  if (!value) return E_POINTER;
  std::u16string found;
  {
    base::CAutoLock hold(named_lock_);
    auto it = named_strings_.find(Text(key));
    if (it == named_strings_.end()) return E_FAIL;
    found = it->second;
  }
  return CopyOut(found, value);
}

HRESULT CExtensionMgrImpl::SetExtensionStateValue(BSTR extension_id, LONG value) {
  const std::u16string id = Text(extension_id);
  ComPtr<IExtensionAgent> agent;
  {
    base::CAutoLock hold(installed_lock_);
    auto it = installed_.find(id);
    if (it != installed_.end()) agent = it->second;
  }
  if (!agent) return S_FALSE;
  agent->SetState(value);
  std::shared_ptr<CExtensionDB> db = database();
  if (db && db->IsOpen()) return db->SetValue(id, value);
  return S_OK;
}

HRESULT CExtensionMgrImpl::RegisterAllAccelerators() {
  // The copy holds a reference on each agent while it posts its registration to the UI thread.
  for (const auto& [id, agent] : InstalledCopy()) agent->RegisterAccelerator();
  return S_OK;
}

// --- Services and command hosts ---

HRESULT CExtensionMgrImpl::GetUIExtPtMgr(IUIExtPtMgr** manager) {
  if (!manager) return E_POINTER;
  *manager = nullptr;
  return Util::Com::GetService(IUIExtPtMgr::kIID, reinterpret_cast<void**>(manager));
}

HRESULT CExtensionMgrImpl::RegisterCmdHost(IExtCmdHost* host) {
  if (!host) return S_OK;  // ignored
  base::CAutoLock hold(cmd_host_lock_);
  cmd_hosts_.emplace_back(host);
  return S_OK;
}

std::vector<ComPtr<IExtCmdHost>> CExtensionMgrImpl::CommandHosts() {
  base::CAutoLock hold(cmd_host_lock_);
  return cmd_hosts_;
}

ComPtr<IExtCmdHost> CExtensionMgrImpl::ExternalCmdHost(int index) {
  {
    base::CAutoLock hold(cmd_host_lock_);
    if (external_hosts_[index]) return external_hosts_[index];
  }
  ComPtr<IUnknown> object;
  if (FAILED(Util::Com::CreateObjectByIID(kExternalCmdHostClasses[index],
                                          object.ReleaseAndGetVoidAddress())) ||
      !object) {
    return nullptr;
  }
  ComPtr<IExtCmdHost> host;
  if (FAILED(object.As(&host)) || !host) return nullptr;
  base::CAutoLock hold(cmd_host_lock_);
  // Another thread may have created it meanwhile: keep the first, drop ours.
  if (external_hosts_[index]) return external_hosts_[index];
  external_hosts_[index] = host;
  cmd_hosts_.push_back(host);
  return host;
}

HRESULT CExtensionMgrImpl::GetExternalCmdHost(int index, IExtCmdHost** host) {
  if (!host) return E_POINTER;
  ComPtr<IExtCmdHost> found = ExternalCmdHost(index);
  *host = found.Detach();
  return *host ? S_OK : E_FAIL;
}

// --- Paths ---

std::shared_ptr<CExtensionDB> CExtensionMgrImpl::database() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return db_;
}

std::u16string CExtensionMgrImpl::DataDirectory() const {
  std::shared_ptr<CExtensionDB> db = database();
  std::u16string path;
  if (!db || FAILED(db->GetPath(&path))) return std::u16string();
  const size_t cut = path.find_last_of(u"\\/");
  path.resize(cut == std::u16string::npos ? 0 : cut);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

HRESULT CExtensionMgrImpl::GetExtensionDataDirectory(BSTR* directory) {
  if (!directory) return E_POINTER;
  const std::u16string path = DataDirectory();
  if (path.empty()) return S_FALSE;
  return CopyOut(path, directory);
}

HRESULT CExtensionMgrImpl::BuildExtensionResourcePath(BSTR extension_id, BSTR relative_path,
                                                      BSTR* path) {
  if (!path) return E_POINTER;
  const std::u16string id = Text(extension_id), relative = Text(relative_path);
  return CopyOut(
      halcy::StringPrintf(u"%s%s/%s", kExtensionBaseUrlPrefix, id.c_str(), relative.c_str()), path);
}

}  // namespace Logic
