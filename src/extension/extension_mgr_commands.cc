// CExtensionMgrImpl: commands arriving from extensions and the front end (the trace, the
// permission gate, the command hosts), the response to the front end with its sink tables,
// and the operations that only talk to the extension-DLL host.

#include <utility>

#include "base/ref_counted.h"
#include "command/ext_cmd_host.h"
#include "common/log.h"
#include "common/version.h"
#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/fe_sink_service.h"
#include "extension/permission_gate.h"
#include "module/browser_info_services.h"
#include "module/services.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

}  // namespace

// --- Commands from extensions ---

HRESULT CExtensionMgrImpl::ProcessBPCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                            LONG request_context) {
  Thread::CTask* task = Thread::NewFuncTask(
      [self = base::RefPtr<CExtensionMgrImpl>(this), id = Text(extension_id), name = Text(command),
       args = Text(arguments),
       request_context] { self->ProcessBPCommandInExtMgrThread(id, name, args, request_context); },
      u"&CExtensionMgrImpl::ProcessBPCommandInExtMgrThread");
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

void CExtensionMgrImpl::ProcessBPCommandInExtMgrThread(std::u16string extension_id,
                                                       std::u16string command,
                                                       std::u16string arguments,
                                                       LONG request_context) {
  // A background page hears back only through replies; the dispatch result itself has no
  // one to go to.
  ReceiveFromExtension(extension_id, command, arguments, request_context);
}

HRESULT CExtensionMgrImpl::ReceiveFromExtension(const std::u16string& extension_id,
                                                const std::u16string& command,
                                                const std::u16string& arguments,
                                                LONG request_context) {
  Log(kLogEvent, u"extCloud;", u"ext:receive from extension, extid:%s, command:%s, args: %s\n",
      extension_id.c_str(), command.c_str(), arguments.c_str());
  if (!PassesPermissionGate(extension_id, command)) {
    Log(kLogFailure, u"extCloud;", u"ext:permission denied, extid:%s, command:%s",
        extension_id.c_str(), command.c_str());
    return E_ACCESSDENIED;
  }
  halcy::ScopedBstr id(extension_id), name(command), args(arguments);
  for (const ComPtr<IExtCmdHost>& host : CommandHosts()) {
    if (host->HandleCommand(id.Get(), name.Get(), args.Get(), request_context) == S_OK) {
      return S_OK;
    }
  }
  return S_FALSE;
}

bool CExtensionMgrImpl::PassesPermissionGate(const std::u16string& extension_id,
                                             const std::u16string& command) {
  if (extension_id.empty() || !IsGatedCommand(command)) return true;
  int enforce = enforce_permissions_.load(std::memory_order_relaxed);
  if (enforce < 0) {
    enforce = ReadPermissionEnforcement() ? 1 : 0;
    enforce_permissions_.store(enforce, std::memory_order_relaxed);
  }
  if (enforce == 0) return true;
  ComPtr<IPermissionMgr> permissions = GetPermissionMgr();
  if (!permissions) return false;  // nobody can allow it
  halcy::ScopedBstr id(extension_id), name(command);
  return permissions->CheckApiPermission(id.Get(), name.Get()) == S_OK;
}

// --- The front end ---

HRESULT CExtensionMgrImpl::RegisterFESink(FESinkTable table, BSTR extension_id, LONG value1,
                                          LONG value2, BSTR key) {
  CFESinkTable& target = table == FESinkTable::kA ? fe_table_a_ : fe_table_b_;
  target.Add({Text(extension_id), value1, value2, Text(key), GetCurrentThreadId()});
  return S_OK;
}

HRESULT CExtensionMgrImpl::RemoveFESinks(BSTR owner, BSTR key, LONG value) {
  const std::u16string id = Text(owner);
  if (Text(key).empty() && value == -1) {
    fe_table_a_.RemoveOwner(id);
    fe_table_b_.RemoveOwner(id);
  } else {
    fe_table_a_.RemoveOwnerValue(id, value);
  }
  return S_OK;
}

HRESULT CExtensionMgrImpl::SendResponseToFE(const std::u16string& extension_id,
                                            const std::u16string& key,
                                            const std::u16string& command,
                                            const std::u16string& arguments) {
  Log(kLogEvent, u"extCloud;", u"ext:rsend to fe, extid:%s, command:%s, args: %s\n",
      extension_id.c_str(), command.c_str(), arguments.c_str());
  FESinkEntry sink;
  if (!fe_table_a_.FindByKey(extension_id, key, &sink) &&
      !fe_table_b_.FindByKey(extension_id, key, &sink)) {
    return S_OK;
  }
  Thread::CallOnThread(sink.owner_thread, [sink, command, arguments] {
    ComPtr<IFrontEndSinkService> front_end;
    Util::Com::GetService(IFrontEndSinkService::kIID, front_end.ReleaseAndGetVoidAddress());
    if (!front_end) return;  // no front end: dropped
    halcy::ScopedBstr id(sink.extension_id), name(command), args(arguments);
    front_end->DeliverToFrontEnd(sink.value1, sink.value2, id.Get(), name.Get(), args.Get());
  });
  return S_FALSE;
}

// --- The extension-DLL host ---

HRESULT CExtensionMgrImpl::SendToDllHost(IPC::CMessage* message) {
  return dll_host_.Send(message) ? S_OK : E_FAIL;
}

HRESULT CExtensionMgrImpl::ForwardToDllHost(BSTR text, LONG value, BSTR text2, BSTR text3,
                                            LONG value2, LONG value3) {
  return SendToDllHost(
      NewForwardedCallMessage(Text(text), value, Text(text2), Text(text3), value2, value3));
}

void CExtensionMgrImpl::AddPendingLibraryRequest(const std::u16string& request_key,
                                                 const std::u16string& target, int64_t handle) {
  base::CAutoLock hold(pending_lock_);
  pending_requests_[request_key] = {target, handle};
}

HRESULT CExtensionMgrImpl::AnswerLibraryRequest(BSTR request_key, LONG value, BSTR result) {
  PendingRequest request;
  {
    base::CAutoLock hold(pending_lock_);
    auto it = pending_requests_.find(Text(request_key));
    if (it == pending_requests_.end()) return S_FALSE;
    request = std::move(it->second);
    pending_requests_.erase(it);
  }
  return SendToDllHost(
      NewRequestAnswerMessage(request.target, request.handle, value, Text(result)));
}

// --- Other services ---

HRESULT CExtensionMgrImpl::RecordUsageAction(BSTR category, BSTR key, BSTR action, BSTR style,
                                             BSTR name) {
  ComPtr<IStatisticsService> statistics = GetStatisticsService();
  if (!statistics) return S_FALSE;  // skipped silently
  ComPtr<IPropertySet> properties = NewPropertySet();
  if (!properties) return E_FAIL;
  properties->SetValue(u"Action", action ? action : u"");
  properties->SetValue(u"Style", style ? style : u"");
  if (name && *name) properties->SetValue(u"Name", name);
  const std::u16string category_text = Text(category), key_text = Text(key);
  return statistics->RecordAction(category_text.c_str(), key_text.c_str(), 2, properties.Get());
}

HRESULT CExtensionMgrImpl::ReportSelfStatistics(const std::u16string& extension_id,
                                                LONG upload_type, const std::u16string& type,
                                                const std::u16string& content) {
  Log(kLogProgress, u"oldlog;", u"ext upload log, extid:%s, loguploadtype:%d, type:%s, content:%s",
      extension_id.c_str(), upload_type, type.c_str(), content.c_str());
  ComPtr<IStatisticsService> statistics = GetStatisticsService();
  if (!statistics) return S_FALSE;  // skipped silently, as every statistics record
  ComPtr<IPropertySet> properties = NewPropertySet();
  if (!properties) return E_FAIL;
  const std::u16string upload_type_text = halcy::StringPrintf(u"%d", upload_type);
  properties->SetValue(u"AppId", extension_id.c_str());
  properties->SetValue(u"LogUploadType", upload_type_text.c_str());
  properties->SetValue(u"Content", content.c_str());
  return statistics->RecordAction(kSelfReportCategory, type.c_str(), 2, properties.Get());
}

std::u16string CExtensionMgrImpl::GetBrowserVersion() const {
  std::lock_guard<std::mutex> lock(state_mutex_);
  return browser_version_.empty() ? std::u16string(kNoVersion) : browser_version_;
}

}  // namespace Logic
