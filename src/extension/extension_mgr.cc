// CCoExtensionMgr: every IExtensionMgr call is forwarded to the one CExtensionMgrImpl. The
// operations whose behaviour is not built yet answer E_NOTIMPL, each saying what is missing.

#include "extension/extension_mgr.h"

#include <algorithm>
#include <new>

#include "extension/extension_mgr_impl.h"
#include "platform/bstr.h"

namespace Logic {

CCoExtensionMgr::CCoExtensionMgr() = default;
CCoExtensionMgr::CCoExtensionMgr(base::RefPtr<CExtensionMgrImpl> shared)
    : impl_(std::move(shared)), view_(true) {}
CCoExtensionMgr::~CCoExtensionMgr() = default;

HRESULT CCoExtensionMgr::FinalConstruct() {
  if (view_) return impl_ ? S_OK : E_FAIL;
  impl_ = base::RefPtr<CExtensionMgrImpl>(new (std::nothrow) CExtensionMgrImpl(this));
  return impl_ ? S_OK : E_OUTOFMEMORY;
}

void CCoExtensionMgr::FinalRelease() {
  if (!impl_) return;  // FinalConstruct ran out of memory
  if (!view_) impl_->DetachOwner();
  impl_ = nullptr;
}

HRESULT CCoExtensionMgr::GetNextSequenceNumber(LONG* number) {
  return impl_->GetNextSequenceNumber(number);
}

HRESULT CCoExtensionMgr::AddListener(LONG listener_id, DWORD thread_id,
                                     IExtensionMgrListener* listener,
                                     BOOL register_with_user_service) {
  return impl_->AddListener(listener_id, thread_id, listener, register_with_user_service);
}

HRESULT CCoExtensionMgr::AddListenerOnCallingThread(IUnknown* user_listener,
                                                    IExtensionMgrListener* listener) {
  return impl_->AddListenerOnCallingThread(user_listener, listener);
}

HRESULT CCoExtensionMgr::SwitchUser() { return impl_->SwitchUser(); }

HRESULT CCoExtensionMgr::UnInitialize() { return impl_->UnInitialize(); }

HRESULT CCoExtensionMgr::DisableExtension(BSTR extension_id) {
  return impl_->DisableExtension(extension_id);
}

HRESULT CCoExtensionMgr::EnableExtension(BSTR extension_id) {
  return impl_->EnableExtension(extension_id);
}

HRESULT CCoExtensionMgr::DeleteExtension(BSTR extension_id) {
  return impl_->DeleteExtension(extension_id);
}

HRESULT CCoExtensionMgr::GetInstalledExtensions(IStringList** extension_ids) {
  return impl_->GetInstalledExtensions(extension_ids);
}

HRESULT CCoExtensionMgr::GetExtensionAgent(BSTR extension_id, IExtensionAgent** agent) {
  return impl_->GetExtensionAgent(extension_id, agent);
}

HRESULT CCoExtensionMgr::GetUIExtPtMgr(IUIExtPtMgr** manager) {
  return impl_->GetUIExtPtMgr(manager);
}

HRESULT CCoExtensionMgr::RegisterCmdHost(IExtCmdHost* host) { return impl_->RegisterCmdHost(host); }

HRESULT CCoExtensionMgr::GetExtensionAppGuild(IExtensionAppGuild** guild) {
  return impl_->GetExtensionAppGuild(guild);
}

HRESULT CCoExtensionMgr::GetExternalCmdHost1(IExtCmdHost** host) {
  return impl_->GetExternalCmdHost(0, host);
}

HRESULT CCoExtensionMgr::GetExternalCmdHost2(IExtCmdHost** host) {
  return impl_->GetExternalCmdHost(1, host);
}

HRESULT CCoExtensionMgr::AnswerLibraryRequest(BSTR request_key, LONG value, BSTR result) {
  return impl_->AnswerLibraryRequest(request_key, value, result);
}

HRESULT CCoExtensionMgr::FindExtensionOfSink(LONG value1, LONG value2, BSTR* extension_id,
                                             BSTR url) {
  return impl_->FindExtensionOfSink(value1, value2, extension_id, url);
}

HRESULT CCoExtensionMgr::GetNamedString(BSTR key, BSTR* value) {
  return impl_->GetNamedString(key, value);
}

HRESULT CCoExtensionMgr::DispatchNamedEvent(BSTR event_name, BSTR payload) {
  return impl_->DispatchNamedEvent(event_name, payload);
}

HRESULT CCoExtensionMgr::RegisterBkpEventListener(BSTR event_name, LONG value1, LONG value2,
                                                  LONG value3, LONG value4) {
  return impl_->RegisterBkpEventListener(event_name, value1, value2, value3, value4);
}

HRESULT CCoExtensionMgr::ForwardToDllHost(BSTR text, LONG value, BSTR text2, BSTR text3,
                                          LONG value2, LONG value3) {
  return impl_->ForwardToDllHost(text, value, text2, text3, value2, value3);
}

HRESULT CCoExtensionMgr::SendToExtension(BSTR extension_id, LONG number, BSTR text, BSTR fe_command,
                                         LONG number2, LONG number3) {
  return impl_->SendToExtension(extension_id, number, text, fe_command, number2, number3);
}

HRESULT CCoExtensionMgr::FindExtensionOfUrl(BSTR url, BSTR* extension_id) {
  return impl_->FindExtensionOfUrl(url, extension_id);
}

HRESULT CCoExtensionMgr::RegisterFESinkA(BSTR extension_id, LONG value1, LONG value2, BSTR key) {
  return impl_->RegisterFESink(FESinkTable::kA, extension_id, value1, value2, key);
}

HRESULT CCoExtensionMgr::RegisterFESinkB(BSTR extension_id, LONG value1, LONG value2, BSTR key) {
  return impl_->RegisterFESink(FESinkTable::kB, extension_id, value1, value2, key);
}

HRESULT CCoExtensionMgr::RemoveFESinks(BSTR owner, BSTR key, LONG value) {
  return impl_->RemoveFESinks(owner, key, value);
}

HRESULT CCoExtensionMgr::RemoveEventListeners(BSTR owner, BSTR event_name, LONG value) {
  return impl_->RemoveEventListeners(owner, event_name, value);
}

HRESULT CCoExtensionMgr::GetExtensionDataDirectory(BSTR* directory) {
  return impl_->GetExtensionDataDirectory(directory);
}

HRESULT CCoExtensionMgr::BuildExtensionResourcePath(BSTR extension_id, BSTR relative_path,
                                                    BSTR* path) {
  return impl_->BuildExtensionResourcePath(extension_id, relative_path, path);
}

HRESULT CCoExtensionMgr::BroadcastBrowserNotifyMsg(BSTR message, BSTR payload) {
  return impl_->BroadcastBrowserNotifyMsg(message, payload);
}

HRESULT CCoExtensionMgr::SetExtensionStateValue(BSTR extension_id, LONG value) {
  return impl_->SetExtensionStateValue(extension_id, value);
}

HRESULT CCoExtensionMgr::RecordUsageAction(BSTR category, BSTR key, BSTR action, BSTR style,
                                           BSTR name) {
  return impl_->RecordUsageAction(category, key, action, style, name);
}

HRESULT CCoExtensionMgr::SendToDllHost(IPC::CMessage* message) {
  return impl_->SendToDllHost(message);
}

HRESULT CCoExtensionMgr::SaveCachedExtensionList() { return impl_->SaveCachedExtensionList(); }

HRESULT CCoExtensionMgr::AddBkpEventListener(BSTR extension_id, BSTR event_name, LONG value1,
                                             LONG value2) {
  return impl_->AddBkpEventListener(extension_id, event_name, value1, value2);
}

HRESULT CCoExtensionMgr::ProcessBPCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                          LONG request_context) {
  return impl_->ProcessBPCommand(extension_id, command, arguments, request_context);
}

HRESULT CCoExtensionMgr::DeliverToExtension(BSTR extension_id, BSTR command, BSTR payload) {
  return impl_->DeliverToExtension(extension_id ? extension_id : u"", command ? command : u"",
                                   payload ? payload : u"");
}

HRESULT CCoExtensionMgr::RegisterPageExtension() { return impl_->RegisterPageExtension(); }

HRESULT CCoExtensionMgr::LoadCachedData() { return impl_->LoadCachedData(); }

HRESULT CCoExtensionMgr::SendToExtensionInternal(BSTR extension_id, BSTR command, BSTR arguments) {
  return impl_->PostToExtension(extension_id ? extension_id : u"", command ? command : u"",
                                arguments ? arguments : u"", 0);
}

HRESULT CCoExtensionMgr::RegisterAllAccelerators() { return impl_->RegisterAllAccelerators(); }

// --- IExtensionInstaller ---

namespace {

// Hands a request's result to the caller's callback (kept alive by the task).
CExtensionMgrImpl::InstallDone ToInstallDone(IExtensionInstallCallback* done) {
  if (!done) return nullptr;
  return [callback = ComPtr<IExtensionInstallCallback>(done)](const std::u16string& id,
                                                              HRESULT result) {
    halcy::ScopedBstr text(id);
    callback->OnInstallDone(text.Get(), result);
  };
}

}  // namespace

HRESULT CCoExtensionMgr::InstallExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                                          IExtensionInstallCallback* done) {
  ComPtr<IUnknown> requester;
  // The caller's identity, so that a guide asking for a reinstall is not told twice.
  if (done) done->QueryInterface(IUnknown::kIID, requester.ReleaseAndGetVoidAddress());
  return impl_->PostInstallExtension(extension_id ? extension_id : u"", flags, state,
                                     directory ? directory : u"", ToInstallDone(done),
                                     std::move(requester));
}

HRESULT CCoExtensionMgr::UpdateExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                                         IExtensionInstallCallback* done) {
  return impl_->PostUpdateExtension(extension_id ? extension_id : u"", flags, state,
                                    directory ? directory : u"", ToInstallDone(done));
}

// --- IExtensionProcessProbe ---

HRESULT CCoExtensionMgr::WaitForExtensionProcess(LONG milliseconds) {
  return impl_->WaitForDllProcess(static_cast<DWORD>(std::max<LONG>(milliseconds, 0)));
}

}  // namespace Logic
