// CExtensionMgrImpl: message routing between the front end, background pages and native
// extension libraries (IExtensionMgr slots 18, 21 to 24, 26 to 29, 32, 34, 35, 37 to 39, 42),
// and the paths the command hosts answer through.

#include <new>
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
#include "extension/route_cache.h"
#include "extension/routing_payloads.h"
#include "module/browser_info_services.h"
#include "module/services.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/threads.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

// Posts `fn` to the extension-manager thread as a task named `name`; `fn` holds the manager.
template <class F>
HRESULT PostToManagerThread(const char16_t* name, F&& fn) {
  Thread::CTask* task = Thread::NewFuncTask(std::forward<F>(fn), name);
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

DWORD ManagerThreadId() {
  DWORD id = 0;
  if (ComPtr<Thread::IThreadService> threads = Thread::GetThreadService()) {
    threads->GetThreadId(Thread::kThreadExtensionManager, &id);
  }
  return id;
}

}  // namespace

// --- Sending to an extension ---

HRESULT CExtensionMgrImpl::SendToExtension(BSTR extension_id, LONG number, BSTR text,
                                           BSTR fe_command, LONG number2, LONG number3) {
  std::u16string envelope;
  try {
    envelope = FEEnvelope(number, Text(text), Text(fe_command), number2, number3);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return PostToExtension(Text(extension_id), kFEToLibCommand, envelope, 0);
}

HRESULT CExtensionMgrImpl::PostToExtension(const std::u16string& extension_id,
                                           const std::u16string& command,
                                           const std::u16string& payload, LONG request_context) {
  return PostToManagerThread(u"&CExtensionMgrImpl::SendToExtensionInternal",
                             [self = base::RefPtr<CExtensionMgrImpl>(this), extension_id, command,
                              payload, request_context] {
                               // The result has no one to go to: a message for an extension that is
                               // not installed is dropped.
                               self->SendToExtensionInternal(extension_id, command, payload,
                                                             request_context);
                             });
}

HRESULT CExtensionMgrImpl::SendToExtensionInternal(std::u16string extension_id,
                                                   std::u16string command, std::u16string arguments,
                                                   LONG request_context) {
  bool native_route = false;
  if (!CRouteCache::Get().Find(extension_id, &native_route)) {
    ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
    if (!agent) return E_FAIL;
    native_route = CRouteCache::Get().Record(
        extension_id, AgentText(agent.Get(), &IExtensionAgent::GetBackgroundPage).empty());
  }
  if (native_route) {
    dll_host_.Send(NewLibraryMessage(extension_id, request_context, command, arguments));
    return S_OK;
  }
  if (GetCurrentThreadId() == ManagerThreadId()) {
    notifyToBackgroundPage(std::move(extension_id), std::move(command), std::move(arguments));
    return S_OK;
  }
  return PostToManagerThread(
      u"&CExtensionMgrImpl::notifyToBackgroundPage",
      [self = base::RefPtr<CExtensionMgrImpl>(this), extension_id, command, arguments] {
        self->notifyToBackgroundPage(extension_id, command, arguments);
      });
}

void CExtensionMgrImpl::notifyToBackgroundPage(std::u16string extension_id,
                                               std::u16string event_name,
                                               std::u16string event_details) {
  Log(kLogEvent, u"extMgr;", u"extMgr:notify to BKP, extid:%s, command:%s, args: %s\n",
      extension_id.c_str(), event_name.c_str(), event_details.c_str());
  const std::u16string payload = BackgroundPagePayload(event_name, event_details);
  if (extension_id.empty()) {
    for (const BkCoreRecord& record : bk_cores_.All()) {
      DeliverToCore(record, kBackgroundPageMessage, payload);
    }
    return;
  }
  BkCoreRecord record;
  if (bk_cores_.Find(extension_id, &record)) DeliverToCore(record, kBackgroundPageMessage, payload);
}

void CExtensionMgrImpl::DeliverToCore(const BkCoreRecord& record, const std::u16string& name,
                                      const std::u16string& payload) {
  if (!record.core) return;
  Thread::CallOnThread(record.owner_thread, [core = record.core, name, payload] {
    halcy::ScopedBstr name_text(name), payload_text(payload);
    core->DeliverMessage(name_text.Get(), payload_text.Get());
  });
}

HRESULT CExtensionMgrImpl::DeliverToExtension(const std::u16string& extension_id,
                                              const std::u16string& command,
                                              const std::u16string& payload) {
  BkCoreRecord record;
  if (bk_cores_.Find(extension_id, &record)) {
    DeliverToCore(record, command, payload);
  } else {
    dll_host_.Send(NewLibraryMessage(extension_id, 0, command, payload));
  }
  return S_OK;
}

// --- Broadcasts and named events ---

HRESULT CExtensionMgrImpl::BroadcastBrowserNotifyMsg(BSTR message, BSTR payload) {
  return BroadcastBrowserNotification(Text(message), Text(payload));
}

HRESULT CExtensionMgrImpl::BroadcastBrowserNotification(const std::u16string& name,
                                                        const std::u16string& payload) {
  Thread::CTask* task =
      Thread::NewTask(this, &CExtensionMgrImpl::BrodcastBrowserNofityMsg,
                      u"&CExtensionMgrImpl::BrodcastBrowserNofityMsg", name, payload);
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

void CExtensionMgrImpl::BrodcastBrowserNofityMsg(std::u16string name, std::u16string payload) {
  // The DLL host first: its send completes here, before any core's delivery is posted.
  dll_host_.Send(NewBrowserNotifyMessage(name, payload));
  notifyToBackgroundPage(std::u16string(), std::move(name), std::move(payload));
}

HRESULT CExtensionMgrImpl::DispatchNamedEvent(BSTR event_name, BSTR payload) {
  const std::u16string name = Text(event_name), details = Text(payload);
  const std::u16string text = NamedEventPayload(details);
  for (const EventListenerEntry& entry : event_listeners_.Listeners(name)) {
    BkCoreRecord record;
    const bool found = entry.owner.empty() ? bk_cores_.FindByHandle(entry.routing_handle, &record)
                                           : bk_cores_.Find(entry.owner, &record);
    if (found) DeliverToCore(record, kBackgroundPageMessage, text);
  }
  dll_host_.Send(NewNamedEventMessage(name, details));
  return S_OK;
}

HRESULT CExtensionMgrImpl::RegisterBkpEventListener(BSTR event_name, LONG value1, LONG value2,
                                                    LONG value3, LONG value4) {
  EventListenerEntry entry;
  entry.core_value1 = value1;
  entry.core_value2 = value2;
  entry.routing_handle = value3;
  entry.value = value4;
  BkCoreRecord record;
  if (bk_cores_.FindByHandle(value3, &record)) entry.owner = record.extension_id;
  event_listeners_.Add(Text(event_name), std::move(entry));
  return S_OK;
}

HRESULT CExtensionMgrImpl::AddBkpEventListener(BSTR extension_id, BSTR event_name, LONG value1,
                                               LONG value2) {
  return PostToManagerThread(u"&CExtensionMgrImpl::AddBkpEventListenerInExtMgrThread",
                             [self = base::RefPtr<CExtensionMgrImpl>(this), id = Text(extension_id),
                              name = Text(event_name), value1, value2] {
                               self->AddBkpEventListenerInExtMgrThread(id, name, value1, value2);
                             });
}

void CExtensionMgrImpl::AddBkpEventListenerInExtMgrThread(std::u16string extension_id,
                                                          std::u16string event_name, LONG value1,
                                                          LONG value2) {
  EventListenerEntry entry;
  entry.owner = std::move(extension_id);
  entry.value = value1;
  entry.routing_handle = value2;
  event_listeners_.Add(event_name, std::move(entry));
}

HRESULT CExtensionMgrImpl::RemoveEventListeners(BSTR owner, BSTR event_name, LONG value) {
  const std::u16string name = Text(event_name);
  if (name.empty() && value == -1) {
    event_listeners_.RemoveOwner(Text(owner));
  } else {
    event_listeners_.Remove(Text(owner), name, value);
  }
  return S_OK;
}

void CExtensionMgrImpl::InsertBKCoreInfoInExtMgrThread(ComPtr<IExtBackgroundCore> core,
                                                       DWORD owner_thread, LONG value1, LONG value2,
                                                       std::u16string extension_id,
                                                       LONG routing_handle) {
  bk_cores_.Insert(
      {std::move(extension_id), std::move(core), owner_thread, value1, value2, routing_handle});
}

}  // namespace Logic
