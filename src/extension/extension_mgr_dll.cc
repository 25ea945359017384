// CExtensionMgrImpl and the extension-DLL process: the host's life (start-up, uninitialize,
// the restart after a first crash), loading native libraries, what the child sends, and the
// notice after a repeated crash.

#include <atomic>
#include <utility>

#include "common/json_escape.h"
#include "common/log.h"
#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "extension/extension_paths.h"
#include "extension/ui_ext_pt_mgr.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/string_resources.h"
#include "platform/strings.h"

namespace Logic {
namespace {

// Process-wide, as the browser has one extension process.
std::atomic<int> g_dll_crash_count{0};

constexpr char16_t kFEResponseCommand[] = u"extension.response.fe.toLibAsync";

// Carries the manager's messages to its host.
class CDllHostSender final : public IDllHostSender {
 public:
  explicit CDllHostSender(base::RefPtr<CDllInteractionProcessHost> host) : host_(std::move(host)) {}
  bool Send(IPC::CMessage* message) override { return host_->Send(message); }

 private:
  const base::RefPtr<CDllInteractionProcessHost> host_;
};

// {"result":"ok","content":<content>}: the content as it is when it is JSON, else as a string.
std::u16string FEResponsePayload(const std::u16string& content) {
  const std::u16string value =
      ParseJson(content) ? content : u"\"" + EscapeJsonText(content) + u"\"";
  return u"{\"result\":\"ok\",\"content\":" + value + u"}";
}

}  // namespace

void CExtensionMgrImpl::ResetDllCrashCountForTesting() { g_dll_crash_count.store(0); }

// --- The host's life ---

void CExtensionMgrImpl::StartDllProcessHost() {
  base::RefPtr<CDllInteractionProcessHost> host;
  std::shared_ptr<IDllHostSender> sender;
  {
    base::CAutoLock hold(dll_process_lock_);
    if (dll_process_) return;
    dll_process_ = base::RefPtr<CDllInteractionProcessHost>(new CDllInteractionProcessHost(this));
    host = dll_process_;
    sender = dll_sender_ = std::make_shared<CDllHostSender>(host);
  }
  host->Init();
  dll_host_.Set(std::move(sender));
}

void CExtensionMgrImpl::StopDllProcessHost(bool keep_slot) {
  base::RefPtr<CDllInteractionProcessHost> host;
  std::shared_ptr<IDllHostSender> sender;
  {
    base::CAutoLock hold(dll_process_lock_);
    host = std::move(dll_process_);
    sender = std::move(dll_sender_);
    loaded_libraries_.clear();
  }
  if (!keep_slot && sender) dll_host_.Clear(sender);
  // Sends the shutdown message, closes the channel and waits until the child has gone.
  if (host) host->Shutdown();
}

// --- Native libraries ---

void CExtensionMgrImpl::LoadNativeLibrary(IExtensionAgent* agent) {
  const std::u16string id = AgentText(agent, &IExtensionAgent::GetId);
  const std::u16string library = AgentText(agent, &IExtensionAgent::GetLibraryPath);
  const std::u16string directory =
      ResolveExtensionPath(AgentText(agent, &IExtensionAgent::GetDirectory));
  // The library is untrusted, as every path a manifest names: a regular file inside the
  // extension's directory, reached without a link (extension_paths.h). The child is handed its
  // canonical path, free of links above the directory too, which the child checks again.
  const ManifestPath checked{u"extMgr;", id, directory, u"librarypath", library};
  bool exists = false;
  if (directory.empty() || !CheckManifestFile(checked, &exists)) return;  // logged
  const std::u16string joined = halcy::StringPrintf(u"%s\\%s", directory.c_str(), library.c_str());
  std::string resolved;
  if (!exists || !halcy::ResolveFileInDirectory(directory, joined, &resolved)) {
    LogRefusedManifestPath(checked, u"it does not exist");
    return;
  }
  bool reload;
  {
    base::CAutoLock hold(dll_process_lock_);
    reload = !loaded_libraries_.insert(id).second;
  }
  // A library loaded already (a reinstall, say) is unloaded first: a load always starts afresh.
  if (reload) dll_host_.Send(NewUnloadLibraryMessage(id));
  dll_host_.Send(NewLoadLibraryMessage(id, halcy::Utf8ToUtf16(resolved)));
}

HRESULT CExtensionMgrImpl::WaitForDllProcess(DWORD timeout_ms) {
  base::RefPtr<CDllInteractionProcessHost> host;
  {
    base::CAutoLock hold(dll_process_lock_);
    host = dll_process_;
  }
  if (!host) return E_FAIL;
  return host->WaitForChildConnected(timeout_ms) ? S_OK : S_FALSE;
}

bool CExtensionMgrImpl::IsLibraryLoaded(const std::u16string& extension_id) const {
  base::CAutoLock hold(dll_process_lock_);
  return loaded_libraries_.count(extension_id) != 0;
}

void CExtensionMgrImpl::UnloadLibrary(const std::u16string& extension_id) {
  {
    base::CAutoLock hold(dll_process_lock_);
    loaded_libraries_.erase(extension_id);
  }
  // Without a DLL host the slot logs the drop; there is then no library to unload.
  dll_host_.Send(NewUnloadLibraryMessage(extension_id));
}

void CExtensionMgrImpl::LoadAppDllFailed(const std::u16string& extension_id) {
  {
    base::CAutoLock hold(dll_process_lock_);
    loaded_libraries_.erase(extension_id);
  }
  WithdrawUIPoints(extension_id, 0);
  Log(kLogTrace, u"extMgr;",
      u"extMgr: remove %s from map m_mapInstalledExtensions in LoadAppDllFailed",
      extension_id.c_str());
  UnregisterInstalled(extension_id);  // the map entry and its permission set
}

// --- Messages from the child ---

void CExtensionMgrImpl::OnDllMessage(const CDllMessage& message) {
  if (message.type == kDllMsgNamedEvent) {
    halcy::ScopedBstr name(message.text(0)), payload(message.text(1));
    DispatchNamedEvent(name.Get(), payload.Get());
    return;
  }
  // Every other message speaks for the extension named first.
  const std::u16string& id = message.text(0);
  if (!IsLibraryLoaded(id)) {
    Log(kLogFailure, u"extMgr;",
        u"extMgr: message 0x%08X from the extension process for %s, whose library is not "
        u"loaded; dropped",
        message.type, id.c_str());
    return;
  }
  switch (message.type) {
    case kDllMsgLibraryResponseToFE:
      SendResponseToFE(id, message.text(2), kFEResponseCommand, FEResponsePayload(message.text(3)));
      break;
    case kDllMsgLibraryRequest:
      AnswerLibraryRequestFromDll(message);
      break;
    case kDllMsgLibraryCommand:
      // Replies come back through the command hosts as 0x07000011 with this request context.
      ReceiveFromExtension(id, message.text(1), message.text(2),
                           static_cast<LONG>(message.number(3)));
      break;
    case kDllMsgLibraryLoadState:  // the host passes only the failure (0) on
      LoadAppDllFailed(id);
      break;
    default:
      break;
  }
}

void CExtensionMgrImpl::AnswerLibraryRequestFromDll(const CDllMessage& message) {
  const std::u16string& id = message.text(0);
  const HRESULT hr = ReceiveFromExtension(id, message.text(2), message.text(3),
                                          static_cast<LONG>(message.number(1)));
  const char16_t* outcome = hr == S_OK             ? u"{\"result\":\"ok\"}"
                            : hr == E_ACCESSDENIED ? u"{\"result\":\"denied\"}"
                                                   : u"{\"result\":\"unhandled\"}";
  dll_host_.Send(NewRequestOutcomeMessage(id, message.number(1), outcome));
}

void CExtensionMgrImpl::OnDllMessageInUIThread(const CDllMessage& message) {
  // The host posted this as the request's own task ("&CExtensionMgrImpl::OpenWebPage", ...),
  // so the UI-thread half runs here directly. 0x07000009 names its extension second.
  const std::u16string& id = message.text(message.type == kDllMsgSnapShotWebPage ? 1 : 0);
  if (!started_.load()) return;
  if (!IsLibraryLoaded(id)) {
    Log(kLogFailure, u"extMgr;",
        u"extMgr: web-page request 0x%08X for %s, whose library is not loaded; dropped",
        message.type, id.c_str());
    return;
  }
  const auto low = [&message](size_t i) { return static_cast<LONG>(message.number(i)); };
  switch (message.type) {
    case kDllMsgOpenWebPage:  // the library is not answered, whatever the outcome
      OpenWebPageInUIThread(id, low(1), message.text(2), low(3), low(4), message.text(5));
      break;
    case kDllMsgGetWebPageInfo:
      GetWebPageInfoInUIThread(id, low(1), low(2), low(3), message.text(4));
      break;
    case kDllMsgSnapShotWebPage:
      SnapShotWebPageInUIThread(low(0), id, low(2), message.text(3));
      break;
    case kDllMsgPostCommandToUI:
      PostCommandToUIInUIThread(id, low(1), low(2), message.text(3));
      break;
    default:
      break;
  }
}

// --- Crashes ---

void CExtensionMgrImpl::OnDllProcessChannelError() {
  // The whole restart runs in this task on the extension-manager thread, so no other change of
  // the installed set can see it half done: no "restarting" state needs keeping.
  const int crashes = ++g_dll_crash_count;
  BroadcastToListeners(0, [](IExtensionMgrListener* l) { return l->OnDllProcessState(FALSE); });
  if (crashes > 1) {
    ShowDllCrashNotice();      // before the host goes, while the loaded libraries are known
    StopDllProcessHost(true);  // reaps the child; the dead host keeps refusing messages
    return;
  }
  Log(kLogTrace, u"oldlog;", u"重新加载交互进程以及各个扩展的DLL\n");
  StopDllProcessHost(true);
  StartDllProcessHost();
  for (const auto& [id, agent] : InstalledCopy()) {
    if (IsAgentRunning(agent.Get()) &&
        !AgentText(agent.Get(), &IExtensionAgent::GetLibraryPath).empty()) {
      LoadNativeLibrary(agent.Get());
    }
  }
  BroadcastToListeners(0, [](IExtensionMgrListener* l) { return l->OnDllProcessState(TRUE); });
}

void CExtensionMgrImpl::ShowDllCrashNotice() {
  std::vector<std::u16string> names;
  for (const auto& [id, agent] : InstalledCopy()) {
    LONG state = 0;
    agent->GetState(&state);
    if (state != 1 || !IsLibraryLoaded(id)) continue;  // the enabled libraries that went down
    const std::u16string name = AgentText(agent.Get(), &IExtensionAgent::GetName);
    names.push_back(name.empty() ? id : name);
  }
  if (names.empty()) return;  // no enabled library to speak of
  std::u16string notice = Help::String::LoadStringW(u"IDS_EXTENSION_SORRY");
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) notice += u"和";
    notice += u"\"" + names[i] + u"\"";
  }
  notice += u"崩溃了，您可以在\"选项-扩展应用\"中重启它";
  if (names.size() > 1) notice += u"们";
  ComPtr<IUIExtPtMgr> ui;
  GetUIExtPtMgr(ui.ReleaseAndGetAddressOf());
  if (ui) {
    halcy::ScopedBstr point(kToolbarPointId), text(notice);
    ui->ShowPointBubble(point.Get(), 0, text.Get(), -1, 0, 0);
    return;
  }
  Log(kLogFailure, u"extMgr;", u"%s", notice.c_str());
}

}  // namespace Logic
