// Starting an extension's running part: a background page in a hidden web view created on the
// UI thread, or a native library, which the extension-DLL process loads
// (LoadNativeLibrary, extension_mgr_dll.cc). A background page whose file would lie outside
// the extension's directory is not started.
#include <utility>

#include "extension/bk_core.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_paths.h"
#include "extension/web_view_service.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace Logic {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file a background page's address names: the path without its query and fragment, with
// percent escapes decoded (as UTF-8), since "%2e%2e" is ".." to the browser's address parser.
std::u16string PageFile(std::u16string_view page) {
  const std::string path = halcy::Utf16ToUtf8(page.substr(0, page.find_first_of(u"?#")));
  std::string file;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 &&
        HexValue(path[i + 2]) >= 0) {
      file.push_back(static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2])));
      i += 2;
    } else {
      file.push_back(path[i]);
    }
  }
  return halcy::Utf8ToUtf16(file);
}

// Whether the background page may be started: its file lies inside the extension's directory
// (extension_paths.h) and, when it exists, is a regular file reached without a link. A page
// that is not there yet still starts, and the browser shows what it finds.
bool BackgroundPageAllowed(IExtensionAgent* agent, const std::u16string& id,
                           const std::u16string& page) {
  const std::u16string directory =
      ResolveExtensionPath(AgentText(agent, &IExtensionAgent::GetDirectory));
  const ManifestPath checked{u"extMgr;", id, directory, u"background_page", page};
  const std::u16string file = PageFile(page);
  if (!IsPathInsideExtension(page.substr(0, page.find_first_of(u"?#"))) ||
      !IsPathInsideExtension(file)) {
    LogRefusedManifestPath(checked, RefusalReason(halcy::FileBelow::kBadPath));
    return false;
  }
  const std::u16string_view reason = RefusalReason(halcy::ProbeFileBelow(directory, file));
  if (reason.empty()) return true;
  LogRefusedManifestPath(checked, reason);
  return false;
}

}  // namespace

void CExtensionMgrImpl::StartExtension(IExtensionAgent* agent) {
  if (!agent) return;
  if (!IsAgentRunning(agent)) return;
  if (!AgentText(agent, &IExtensionAgent::GetLibraryPath).empty()) {
    LoadNativeLibrary(agent);  // a library wins over a page
    return;
  }
  const std::u16string page = AgentText(agent, &IExtensionAgent::GetBackgroundPage);
  if (page.empty()) return;
  const std::u16string id = AgentText(agent, &IExtensionAgent::GetId);
  if (!BackgroundPageAllowed(agent, id, page)) return;
  std::u16string address =
      halcy::StringPrintf(u"%s%s/", u"hcbrowser://localextensions/", id.c_str()) + page;
  {
    base::CAutoLock hold(starting_lock_);
    ++starting_pages_[id];
  }
  Thread::CTask* task = Thread::NewFuncTask(
      [self = base::RefPtr<CExtensionMgrImpl>(this), address = std::move(address), id] {
        self->CreateBackgroundCore(address, id);
      },
      u"&CExtensionMgrImpl::CreateBackgroundCore");
  // A UI thread that is gone leaves the extension without its page, as a missing host does.
  // The start then stays counted until the extension is switched off, which is harmless: the
  // count only lets a created core in.
  if (task) Thread::PostTask(Thread::kThreadUI, task);
}

void CExtensionMgrImpl::DropStartingPage(const std::u16string& extension_id) {
  base::CAutoLock hold(starting_lock_);
  starting_pages_.erase(extension_id);
}

bool CExtensionMgrImpl::TakeStartingPage(const std::u16string& extension_id) {
  base::CAutoLock hold(starting_lock_);
  auto it = starting_pages_.find(extension_id);
  if (it == starting_pages_.end()) return false;
  if (--it->second == 0) starting_pages_.erase(it);
  return true;
}

ComPtr<IExtWebViewHost> CExtensionMgrImpl::WebViewHost() {
  if (web_view_host_) return web_view_host_;
  ComPtr<IExtWebViewService> service;
  Util::Com::GetService(IExtWebViewService::kIID, service.ReleaseAndGetVoidAddress());
  ComPtr<IExtWebViewFactory> factory;
  if (service) service->GetViewFactory(0, factory.ReleaseAndGetAddressOf());
  if (factory) factory->GetWebViewHost(web_view_host_.ReleaseAndGetAddressOf());
  return web_view_host_;
}

void CExtensionMgrImpl::CreateBackgroundCore(std::u16string address, std::u16string extension_id) {
  ComPtr<IExtWebViewHost> host = WebViewHost();
  ComPtr<IExtWebViewCore> view;
  if (!host || FAILED(host->CreateCore(1, 0, 0, view.ReleaseAndGetAddressOf())) || !view) return;
  ComPtr<IExtBackgroundCore> core;
  view->QueryInterface(IExtBackgroundCore::kIID, core.ReleaseAndGetVoidAddress());
  if (!core) return;
  halcy::ScopedBstr target(address.c_str());
  view->Navigate(target.Get());
  LONG value1 = 0, value2 = 0, handle = 0;
  view->GetReportedValues(&value1, &value2);
  view->GetRoutingHandle(&handle);
  Thread::CTask* task = Thread::NewFuncTask(
      [self = base::RefPtr<CExtensionMgrImpl>(this), core, owner = GetCurrentThreadId(), value1,
       value2, id = std::move(extension_id), handle] {
        // An extension disabled or deleted while its page was being created stays without one.
        if (self->TakeStartingPage(id)) {
          self->InsertBKCoreInfoInExtMgrThread(core, owner, value1, value2, id, handle);
        }
      },
      u"&CExtensionMgrImpl::InsertBKCoreInfoInExtMgrThread");
  if (task) Thread::PostTask(Thread::kThreadExtensionManager, task);
}

}  // namespace Logic
