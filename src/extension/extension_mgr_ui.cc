// CExtensionMgrImpl's side of the browser's UI: each extension's description registered with
// the UI extension-point manager, withdrawn and refreshed; the three handlers behind
// CUIExtListener (button click, menu click, guide display); the closing of an extension's tabs
// and the page plug-in's registration.

#include <string>
#include <utility>
#include <vector>

#include "command/browser_model.h"
#include "common/json_escape.h"
#include "common/log.h"
#include "common/paths.h"
#include "extension/browser_window_service.h"
#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_paths.h"
#include "extension/ui_ext_listener.h"
#include "extension/ui_ext_pt_mgr.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/file_below.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "platform/win32.h"
#include "thread/service_lookup.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace Logic {
namespace {

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

ComPtr<IUIExtPtMgr> UIExtPtMgr() { return Thread::GetServiceOrLog<IUIExtPtMgr>(u"IUIExtPtMgr"); }

// The name a click payload uses for a point identifier; "" for any other identifier. Menu
// clicks name only the toolbar, application bar, address bar and smart bar.
std::u16string PayloadName(const std::u16string& point_id, bool menu_click) {
  for (const UIExtPoint& point : kUIExtPoints) {
    if (point_id != point.identifier) continue;
    if (menu_click && point_id == kSideBarPointId) return std::u16string();
    return point.payload_name;
  }
  return std::u16string();
}

// The place of `point_id` in kUIExtPoints, as the extension process numbers the points; -1 for
// an identifier that names none.
int32_t PointIndex(const std::u16string& point_id) {
  for (size_t i = 0; i < std::size(kUIExtPoints); ++i) {
    if (point_id == kUIExtPoints[i].identifier) return static_cast<int32_t>(i);
  }
  return -1;
}

// The active tab of the frame `frame_id`, or 0 when the browser knows no such frame.
LONG ActiveTabOfFrame(LONG frame_id) {
  ComPtr<IBrowserFrameMgr> frames = Thread::GetServiceOrLog<IBrowserFrameMgr>(u"IBrowserFrameMgr");
  ComPtr<IBrowserFrame> frame;
  ComPtr<IBrowserTabContainer> tabs;
  LONG tab_id = 0;
  if (frames &&
      frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf()) == S_OK &&
      frame && frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) == S_OK && tabs) {
    tabs->GetTabId(kActiveTabIndex, &tab_id);  // no active tab: stays 0
  }
  return tab_id;
}

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

// The ids of the tabs whose address starts with `base` (compared in lower case).
std::vector<LONG> TabsBelow(const std::u16string& base) {
  std::vector<LONG> found;
  ComPtr<IBrowserFrameMgr> frames = Thread::GetServiceOrLog<IBrowserFrameMgr>(u"IBrowserFrameMgr");
  LONG frame_count = 0;
  if (!frames || FAILED(frames->GetItemCount(kBrowserItemTopLevelFrame, &frame_count))) {
    return found;
  }
  const std::u16string prefix = Lower(base);
  for (LONG f = 0; f < frame_count; ++f) {
    ComPtr<IBrowserFrame> frame;
    ComPtr<IBrowserTabContainer> tabs;
    LONG tab_count = 0;
    if (FAILED(frames->GetItem(kBrowserItemTopLevelFrame, f, frame.ReleaseAndGetAddressOf())) ||
        !frame || frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) != S_OK || !tabs ||
        FAILED(tabs->GetTabCount(&tab_count))) {
      continue;
    }
    for (LONG t = 0; t < tab_count; ++t) {
      ComPtr<IBrowserTab> tab;
      halcy::ScopedBstr url;
      LONG tab_id = 0;
      if (FAILED(tabs->GetTab(t, tab.ReleaseAndGetAddressOf())) || !tab ||
          FAILED(tab->GetUrl(url.Receive())) || FAILED(tab->GetTabId(&tab_id))) {
        continue;
      }
      if (Lower(std::u16string(url.View())).rfind(prefix, 0) == 0) found.push_back(tab_id);
    }
  }
  return found;
}

constexpr char16_t kPagePluginClass[] = u"{DE0CDDB6-1D10-4224-A998-A4BFBA97840C}";

}  // namespace

// --- The listener ---

void CExtensionMgrImpl::InstallUIListener() {
  ui_listener_->Install(this, &CExtensionMgrImpl::OnUIExtClickEvent,
                        &CExtensionMgrImpl::OnUIExtMenuClickEvent,
                        &CExtensionMgrImpl::OnUIExtShowGuide);
  // The manager hears clicks from here on; without one, the extensions' buttons stay mute.
  if (ComPtr<IUIExtPtMgr> ui = UIExtPtMgr()) ui->SetListener(ui_listener_.Get());
}

void CExtensionMgrImpl::ClearUIListener() { ui_listener_->Clear(); }

ComPtr<IUIExtListener> CExtensionMgrImpl::UIListenerForTesting() const {
  return ComPtr<IUIExtListener>(ui_listener_.Get());
}

// --- Registration ---

// What a start-up registers for all extensions at once.
struct UIPointsBatch {
  std::u16string data_directory;  // GetExtensionDataDirectory(), looked up once
  std::vector<AcceleratorEntry> accelerators;
};

void CExtensionMgrImpl::RegisterUIPoints(IExtensionAgent* agent, LONG flag, UIPointsBatch* batch) {
  ComPtr<IUIExtPtMgr> ui = UIExtPtMgr();
  const std::u16string id = AgentText(agent, &IExtensionAgent::GetId);
  if (!ui || id.empty()) return;
  std::u16string stored = AgentText(agent, &IExtensionAgent::GetDirectory);
  // A resolved directory passes through the agent's own resolution unchanged.
  halcy::ScopedBstr directory(batch ? ResolveExtensionPath(stored, batch->data_directory)
                                    : std::move(stored));
  ComPtr<IUIExtDescription> description;
  if (FAILED(agent->BuildUIDescription(description.ReleaseAndGetAddressOf(), directory.Get())) ||
      !description) {
    return;  // the browser offers no description object: the extension has no buttons
  }
  // Its context-menu items are entered beside the description, by the same callers
  // (extension_context_items.h), so that an extension without buttons still gets its items.
  // The module's own agents hand their accelerator to the batch; any other agent registers
  // its own, as its slot does it.
  if (!batch || !dynamic_cast<CCoExtensionAgent*>(agent)) {
    agent->RegisterAccelerator();  // posted to the UI thread
  } else if (WORD hotkey = 0; agent->GetAccelerator(&hotkey) == S_OK) {
    batch->accelerators.push_back(AcceleratorEntry{id, hotkey});
  }
  ui->RegisterDescription(description.Get(), flag);
}

void CExtensionMgrImpl::WithdrawUIPoints(const std::u16string& extension_id, LONG flag) {
  if (ComPtr<IUIExtPtMgr> ui = UIExtPtMgr()) {
    halcy::ScopedBstr id(extension_id);
    ui->RemoveOrRefresh(id.Get(), flag);
  }
}

void CExtensionMgrImpl::AlignUIPointsWithInstalled() {
  ComPtr<IUIExtPtMgr> ui = UIExtPtMgr();
  if (!ui) return;
  const InstalledMap installed = InstalledCopy();
  // The data directory is looked up once, and all accelerators go to the UI thread in one task,
  // rather than once per extension.
  UIPointsBatch batch;
  batch.data_directory = Logic::GetExtensionDataDirectory();
  // The extensions' directories are siblings below the data directory: their icons are looked
  // at through that one open folder instead of opening each extension's own.
  halcy::SiblingDirectoryScope siblings;
  for (const auto& [id, agent] : installed) {
    if (IsAgentRunning(agent.Get())) RegisterUIPoints(agent.Get(), 0, &batch);
  }
  PostAcceleratorRegistration(std::move(batch.accelerators));
  halcy::ScopedBstr registered;
  if (FAILED(ui->GetRegisteredExtensions(registered.Receive()))) return;
  const std::u16string list(registered.View());
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(u'\n', start);
    if (end == std::u16string::npos) end = list.size();
    const std::u16string id = list.substr(start, end - start);
    if (!id.empty() && installed.find(id) == installed.end()) WithdrawUIPoints(id, 0);
    start = end + 1;
  }
}

void CExtensionMgrImpl::WithdrawAllUIPoints() {
  for (const auto& [id, agent] : InstalledCopy()) WithdrawUIPoints(id, 0);
}

// --- The handlers, on the UI thread ---

HRESULT CExtensionMgrImpl::OnUIExtClickEvent(BSTR extension_id, BSTR point_id, BSTR url,
                                             LONG tab_id, LONG frame_id, LONG left_button,
                                             BSTR button_name) {
  const std::u16string id = Text(extension_id), point = Text(point_id), address = Text(url);
  Log(kLogDetail, u"oldlog;",
      u"ext:扩展UI  CExtensionMgrImpl::OnUIExtClickEvent:bsExtId:%s,nFrame:%d,bLClick:%d, "
      u"bsURL:%s, bsExtPtID:%s\n",
      id.c_str(), frame_id, left_button, address.c_str(), point.c_str());
  // The install guide offers no click operation, so it never takes a click here.
  const std::u16string payload = halcy::StringPrintf(
      u"{\"%s\":\"%d\", \"%s\":\"%d\",\"%s\":\"%s\", \"url\":\"%s\", \"tab_id\":\"%d\", "
      u"\"btnname\":\"%s\"}",
      u"frame", frame_id, u"LButton", left_button ? 1 : 0, u"extpt",
      PayloadName(point, false).c_str(), EscapeJsonText(address).c_str(), tab_id,
      EscapeJsonText(Text(button_name)).c_str());
  ComPtr<IExtensionAgent> agent = InstalledAgent(id);
  if (!agent) return S_OK;
  if (AgentText(agent.Get(), &IExtensionAgent::GetBackgroundPage).empty()) {
    Log(kLogEvent, u"extMgr;", u"extMgr:send click event to extension %s dll", id.c_str());
    SendToDllHost(NewLibraryMessage(id, 0, u"extension.notify.ui.click", payload));
    return S_OK;
  }
  return PostBackgroundPageEvent(id, u"browserAction.onClicked", payload);
}

HRESULT CExtensionMgrImpl::OnUIExtMenuClickEvent(BSTR extension_id, BSTR point_id, LONG frame_id,
                                                 LONG menu_id) {
  const std::u16string id = Text(extension_id), point = Text(point_id);
  ComPtr<IExtensionAgent> agent = InstalledAgent(id);
  if (!agent) return S_FALSE;
  if (AgentText(agent.Get(), &IExtensionAgent::GetBackgroundPage).empty()) {
    SendToDllHost(NewMenuClickMessage(id, PointIndex(point), frame_id, menu_id));
    return S_OK;
  }
  const std::u16string payload = halcy::StringPrintf(
      u"{\"%s\":\"%d\",\"%s\":\"%d\",\"%s\":\"%s\", \"menuID\":\"%d\"}", u"frame", frame_id,
      u"tabid", ActiveTabOfFrame(frame_id), u"extpt", PayloadName(point, true).c_str(), menu_id);
  return PostBackgroundPageEvent(id, u"browserAction.onMenuClicked", payload);
}

HRESULT CExtensionMgrImpl::OnUIExtShowGuide(BSTR extension_id, LONG /*value*/, BSTR url,
                                            LONG show) {
  CJsonValue::Object members;
  members[u"url"] = std::make_unique<CJsonValue>(Text(url));
  members[u"show"] = std::make_unique<CJsonValue>(show ? u"1" : u"0");
  const CJsonValue object(std::move(members));
  return DeliverToExtension(Text(extension_id), u"extension.response.ui.showguide",
                            ToJsonString(object));
}

HRESULT CExtensionMgrImpl::PostBackgroundPageEvent(const std::u16string& extension_id,
                                                   const std::u16string& event_name,
                                                   const std::u16string& payload) {
  Thread::CTask* task = Thread::NewTask(this, &CExtensionMgrImpl::notifyToBackgroundPage,
                                        u"&CExtensionMgrImpl::notifyToBackgroundPage", extension_id,
                                        event_name, payload);
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

// --- Tabs and the page plug-in ---

void CExtensionMgrImpl::_CloseTabByURL(std::u16string extension_id) {
  // The base address is read now: a delete takes the agent out of the map before the UI
  // thread gets to the tabs.
  ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
  std::u16string base = agent ? AgentText(agent.Get(), &IExtensionAgent::GetBaseUrl) : u"";
  if (base.empty()) return;
  DWORD ui_thread = 0;
  if (ComPtr<Thread::IThreadService> threads = Thread::GetThreadService()) {
    threads->GetThreadId(Thread::kThreadUI, &ui_thread);
  }
  if (GetCurrentThreadId() == ui_thread) {
    CloseTabsBelow(std::move(base));
  } else if (Thread::CTask* task =
                 Thread::NewTask(this, &CExtensionMgrImpl::CloseTabsBelow,
                                 u"&CExtensionMgrImpl::_CloseTabByURL", std::move(base))) {
    Thread::PostTask(Thread::kThreadUI, task);  // a UI thread that is gone has no tabs
  }
}

void CExtensionMgrImpl::CloseTabsBelow(std::u16string base) {
  ComPtr<IBrowserWindowService> windows =
      Thread::GetServiceOrLog<IBrowserWindowService>(u"IBrowserWindowService");
  if (!windows) return;
  for (LONG tab_id : TabsBelow(base)) windows->CloseTab(tab_id);
}

void CExtensionMgrImpl::_RegisterPageExtension() {
  const std::u16string key = halcy::StringPrintf(u"CLSID\\%s\\InprocServer32", kPagePluginClass);
  std::u16string library;
  if (halcy::RegReadString(HKEY_CLASSES_ROOT, key, u"", &library) == ERROR_SUCCESS &&
      !library.empty() && PathFileExistsW(library.c_str())) {
    return;  // registered already
  }
  const std::u16string plugin =
      halcy::StringPrintf(u"%s\\%s", GetBrowserDirectory().c_str(), u"plugins\\npquell.dll");
  HMODULE module = LoadLibraryW(plugin.c_str());
  if (!module) return;
  using RegisterFn = HRESULT (*)();
  if (auto reg = reinterpret_cast<RegisterFn>(GetProcAddress(module, "DllRegisterServer"))) {
    reg();  // its result is the plug-in's business; a failed one is retried at the next call
  }
  FreeLibrary(module);
}

HRESULT CExtensionMgrImpl::RegisterPageExtension() {
  Thread::CTask* task = Thread::NewTask(this, &CExtensionMgrImpl::_RegisterPageExtension,
                                        u"&CExtensionMgrImpl::_RegisterPageExtension");
  if (!task) return E_OUTOFMEMORY;
  return Thread::PostTask(Thread::kThreadExtensionManager, task) ? S_OK : E_FAIL;
}

}  // namespace Logic
