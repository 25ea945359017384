#include "extension/extension_agent.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/extension_notify_mgr.h"
#include "extension/browser_window_service.h"
#include "extension/ui_ext_description.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "thread/service_lookup.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

std::u16string_view View(BSTR text) { return text ? std::u16string_view(text) : u""; }

HRESULT ReturnString(const std::u16string& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// For the getters whose key may be missing: S_FALSE and a null string then.
HRESULT ReturnStringOrFalse(const std::u16string& text, BSTR* out) {
  if (text.empty()) {
    *out = nullptr;
    return S_FALSE;
  }
  return ReturnString(text, out);
}

// The command object a frame keeps with an accelerator: it names the extension.
class CAcceleratorCommand : public halcy::ComObjectRoot, public IAcceleratorCommand {
 public:
  HALCY_BEGIN_INTERFACES(CAcceleratorCommand)
  HALCY_INTERFACE(CAcceleratorCommand, IAcceleratorCommand)
  HALCY_END_INTERFACES()
  explicit CAcceleratorCommand(std::u16string extension_id) : id_(std::move(extension_id)) {}
  HRESULT GetExtensionId(BSTR* extension_id) override {
    return extension_id ? ReturnString(id_, extension_id) : E_POINTER;
  }

 private:
  const std::u16string id_;  // constant after construction
};

}  // namespace

HRESULT CCoExtensionAgent::OnAcceleratorPressed() {
  // The notification manager turns the key press into the accelerator event of this extension.
  if (ComPtr<IExtensionNotifyMgr> notify = GetExtensionNotifyMgr()) {
    halcy::ScopedBstr id(extension_.GetId());
    halcy::ScopedBstr no_arguments(u"");
    notify->NotifyAccelerator(id.Get(), no_arguments.Get());
  }
  return S_OK;
}

HRESULT CCoExtensionAgent::SetPosition(LONG position) {
  extension_.SetPosition(position);
  return S_OK;
}

HRESULT CCoExtensionAgent::SetId(BSTR id) { return extension_.SetId(View(id)) ? S_OK : S_FALSE; }

HRESULT CCoExtensionAgent::SetFlags(LONG flags) {
  extension_.SetFlags(flags);
  return S_OK;
}

HRESULT CCoExtensionAgent::SetState(LONG state) {
  extension_.SetState(state);
  return S_OK;
}

HRESULT CCoExtensionAgent::SetDirectory(BSTR directory) {
  extension_.SetDirectory(View(directory));
  return S_OK;
}

HRESULT CCoExtensionAgent::SetManifest(BSTR json_text) {
  // A text that is not an object is dropped on purpose; the caller is not told.
  extension_.SetManifest(static_cast<const char16_t*>(json_text));  // no copy of the text
  return S_OK;
}

HRESULT CCoExtensionAgent::GetPosition(LONG* position) {
  if (position) *position = extension_.GetPosition();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetId(BSTR* id) {
  return id ? ReturnString(extension_.GetId(), id) : S_OK;
}

HRESULT CCoExtensionAgent::GetFlags(LONG* flags) {
  if (flags) *flags = extension_.GetFlags();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetState(LONG* state) {
  if (state) *state = extension_.GetState();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetDirectory(BSTR* directory) {
  return directory ? ReturnString(extension_.GetDirectory(), directory) : S_OK;
}

HRESULT CCoExtensionAgent::GetManifest(BSTR* json_text) {
  if (!json_text) return S_OK;
  const HRESULT hr = ReturnString(extension_.GetManifestText(), json_text);
  return SUCCEEDED(hr) && !extension_.HasManifest() ? S_FALSE : hr;
}

HRESULT CCoExtensionAgent::GetLibraryPath(BSTR* path) {
  return path ? ReturnStringOrFalse(extension_.GetLibraryPath(), path) : S_OK;
}

HRESULT CCoExtensionAgent::GetBackgroundPage(BSTR* page) {
  return page ? ReturnStringOrFalse(extension_.GetBackgroundPage(), page) : S_OK;
}

HRESULT CCoExtensionAgent::BuildUIDescription(IUIExtDescription** description, BSTR directory) {
  if (!description) return S_OK;
  *description = nullptr;
  ComPtr<IUIExtDescription> result;
  if (FAILED(Util::Com::CreateObjectByIID(IUIExtDescription::kIID,
                                          result.ReleaseAndGetVoidAddress())) ||
      !result) {
    return E_FAIL;
  }
  halcy::ScopedBstr id(extension_.GetId());
  HRESULT hr = result->SetExtensionId(id.Get());
  for (const auto& [identifier, text] : extension_.BuildUIPoints(View(directory))) {
    if (FAILED(hr)) break;
    halcy::ScopedBstr point(identifier);
    halcy::ScopedBstr json(text);
    hr = result->AddPoint(point.Get(), json.Get());
  }
  if (FAILED(hr)) return hr;
  *description = result.Detach();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetSummary(BSTR directory, BOOL flag, BSTR* summary) {
  return summary ? ReturnString(extension_.BuildSummary(View(directory), flag != FALSE), summary)
                 : S_OK;
}

HRESULT CCoExtensionAgent::GetOptionsPage(BSTR* page) {
  return page ? ReturnString(extension_.GetOptionsPage(), page) : S_OK;
}

HRESULT CCoExtensionAgent::GetVersion(BSTR* version) {
  return version ? ReturnString(extension_.GetVersion(), version) : S_OK;
}

HRESULT CCoExtensionAgent::GetUpdateUrl(BSTR* url) {
  return url ? ReturnString(extension_.GetUpdateUrl(), url) : S_OK;
}

HRESULT CCoExtensionAgent::GetName(BSTR* name) {
  return name ? ReturnString(extension_.GetName(), name) : S_OK;
}

HRESULT CCoExtensionAgent::GetLowestBrowser(BSTR* version) {
  return version ? ReturnString(extension_.GetLowestBrowser(), version) : S_OK;
}

HRESULT CCoExtensionAgent::GetInstallCommand(BSTR* command) {
  return command ? ReturnString(extension_.GetInstallCommand(), command) : S_OK;
}

HRESULT CCoExtensionAgent::GetUninstallCommand(BSTR* command) {
  return command ? ReturnString(extension_.GetUninstallCommand(), command) : S_OK;
}

HRESULT CCoExtensionAgent::GetSetupCommand(BSTR* url, BSTR* param) {
  if (!url || !param) return S_OK;
  std::u16string url_text, param_text;
  if (!extension_.GetSetupCommand(&url_text, &param_text)) return E_FAIL;
  HRESULT hr = ReturnString(url_text, url);
  if (FAILED(hr)) return hr;
  hr = ReturnString(param_text, param);
  if (FAILED(hr)) {
    SysFreeString(*url);
    *url = nullptr;
  }
  return hr;
}

HRESULT CCoExtensionAgent::GetRegPathProgram(BSTR* program, BSTR* parameters, BSTR* icon) {
  if (!program || !parameters || !icon) return S_OK;
  *program = *parameters = *icon = nullptr;
  RegPathProgram found;
  bool exists = false;
  if (!extension_.GetRegPathProgram(&found, &exists)) return E_FAIL;
  if (!exists) return S_FALSE;
  halcy::ScopedBstr a(found.program), b(found.parameters), c(found.icon);
  if (!a.Get() || !b.Get() || !c.Get()) return E_OUTOFMEMORY;
  *program = a.Release();
  *parameters = b.Release();
  *icon = c.Release();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetDownloadUrl(BSTR* url) {
  return url ? ReturnString(extension_.GetDownloadUrl(), url) : S_OK;
}

HRESULT CCoExtensionAgent::GetSetupOnline(LONG* online) {
  if (online) *online = extension_.GetSetupOnline();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetBaseUrl(BSTR* url) {
  return url ? ReturnString(extension_.GetBaseUrl(), url) : S_OK;
}

HRESULT CCoExtensionAgent::GetPermissions(IStringList** permissions) {
  if (!permissions) return S_OK;
  *permissions = nullptr;
  ComPtr<IStringList> list;
  if (FAILED(Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress())) ||
      !list) {
    return E_FAIL;
  }
  for (const std::u16string& permission : extension_.GetPermissions()) {
    if (HRESULT hr = list->Append(permission.c_str()); FAILED(hr)) return hr;
  }
  *permissions = list.Detach();
  return S_OK;
}

HRESULT CCoExtensionAgent::GetAccelerator(WORD* hotkey) {
  if (!hotkey) return S_OK;
  uint16_t word = 0;
  if (!extension_.GetAccelerator(&word)) return E_FAIL;
  *hotkey = word;
  return S_OK;
}

HRESULT CCoExtensionAgent::GetPluginOrder(LONG* order) {
  if (!order) return S_OK;
  int32_t value = *order;
  if (!extension_.GetPluginOrder(&value)) return S_FALSE;
  *order = value;
  return S_OK;
}

HRESULT CCoExtensionAgent::GetContextMenu(BSTR* items_json) {
  return items_json ? ReturnStringOrFalse(extension_.GetContextMenu(), items_json) : S_OK;
}

HRESULT CCoExtensionAgent::RegisterAccelerator() {
  uint16_t word = 0;
  if (!extension_.GetAccelerator(&word)) return S_FALSE;
  Thread::CTask* task =
      Thread::NewTask(this, &CCoExtensionAgent::RegisterAcceleratorInUIThread,
                      u"&CCoExtensionAgent::RegisterAcceleratorInUIThread", WORD{word});
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadUI, task) ? S_OK : E_FAIL;
}

void CCoExtensionAgent::RegisterAcceleratorInUIThread(WORD hotkey) {
  RegisterAcceleratorsInUIThread({AcceleratorEntry{extension_.GetId(), hotkey}});
}

void RegisterAcceleratorsInUIThread(const std::vector<AcceleratorEntry>& entries) {
  if (entries.empty()) return;
  ComPtr<IBrowserWindowService> windows =
      Thread::GetServiceOrLog<IBrowserWindowService>(u"IBrowserWindowService");
  LONG count = 0;
  if (!windows || FAILED(windows->GetFrameCount(&count)) || count <= 0) return;
  // The frames' accelerator tables, looked up once for all entries.
  std::vector<ComPtr<IFrameAccelerators>> tables;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IUnknown> frame;
    ComPtr<IFrameAccelerators> accelerators;
    if (FAILED(windows->GetFrame(i, frame.ReleaseAndGetAddressOf())) || !frame ||
        FAILED(frame->QueryInterface(
            IFrameAccelerators::kIID,
            reinterpret_cast<void**>(accelerators.ReleaseAndGetAddressOf()))) ||
        !accelerators) {
      continue;  // a frame without an accelerator table
    }
    tables.push_back(std::move(accelerators));
  }
  if (tables.empty()) return;
  for (const AcceleratorEntry& entry : entries) {
    ComPtr<CAcceleratorCommand> command =
        halcy::MakeComObject<CAcceleratorCommand>(entry.extension_id);
    if (!command) continue;
    for (const ComPtr<IFrameAccelerators>& table : tables) {
      table->RegisterAccelerator(entry.hotkey, static_cast<IAcceleratorCommand*>(command.Get()));
    }
  }
}

HRESULT PostAcceleratorRegistration(std::vector<AcceleratorEntry> entries) {
  if (entries.empty()) return S_FALSE;
  Thread::CTask* task = Thread::NewFuncTask(
      [entries = std::move(entries)] { RegisterAcceleratorsInUIThread(entries); },
      u"RegisterAcceleratorsInUIThread");
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadUI, task) ? S_OK : E_FAIL;
}

bool IsAgentRunning(IExtensionAgent* agent) {
  LONG state = 0;
  return agent && SUCCEEDED(agent->GetState(&state)) && (state == 1 || state == 2);
}

}  // namespace Logic
