// CExtensionMgrImpl: what native libraries ask of the browser's pages. The requests arrive on
// the extension-manager thread and only post; frames, tabs and pages are touched on the UI
// thread, and the answers go to the library through the extension-DLL host.
//
// A finished snapshot comes back through the page: before starting one, the manager hands the
// page a sink (command/page_snapshot_sink.h) that carries the frame id and the target. When
// the page reports, on whatever thread it renders on, the sink removes the page's pending
// entry and answers the library with 0x0700000A (extension id, the frame id, 1, target), or
// with frame id -1 and 0 when the page could not produce the image. A snapshot that cannot be
// started is answered at once with frame id -1 and 0.

#include <utility>
#include <vector>

#include "command/browser_model.h"
#include "command/page_snapshot_sink.h"
#include "common/log.h"
#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/ui_ext_points.h"
#include "extension/ui_ext_pt_mgr.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

constexpr LONG kEveryTopLevelFrame = -1;

// Prefixes that make a library's address absolute; compared case-sensitively, so that
// "HTTP://x" counts as a path inside the extension.
constexpr const char16_t* kAbsolutePrefixes[] = {u"http://", u"https://", u"hcbrowser://"};

bool IsAbsoluteAddress(const std::u16string& url) {
  for (const char16_t* prefix : kAbsolutePrefixes) {
    if (url.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

ComPtr<IBrowserFrameMgr> FrameMgr() {
  ComPtr<IBrowserFrameMgr> frames;
  Util::Com::GetService(IBrowserFrameMgr::kIID, frames.ReleaseAndGetVoidAddress());
  return frames;
}

// The page object of the tab `tab_id`, or null.
ComPtr<IUnknown> PageOfTab(IBrowserFrameMgr* frames, LONG tab_id) {
  ComPtr<IUnknown> item;
  if (frames->GetItemById(tab_id, kBrowserItemAny, item.ReleaseAndGetAddressOf()) != S_OK) {
    return nullptr;
  }
  ComPtr<IBrowserTab> tab;
  if (!item || FAILED(item->QueryInterface(IBrowserTab::kIID, tab.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  ComPtr<IUnknown> page;
  tab->GetPage(page.ReleaseAndGetAddressOf());
  return page;
}

// The page shown in the active tab of a top-level frame, or null.
ComPtr<IUnknown> ActivePageOf(IBrowserFrameMgr* frames, IBrowserFrame* frame) {
  ComPtr<IBrowserTabContainer> container;
  if (frame->GetTabContainer(container.ReleaseAndGetAddressOf()) != S_OK || !container) {
    return nullptr;
  }
  LONG tab_id = -1;
  if (FAILED(container->GetTabId(kActiveTabIndex, &tab_id))) return nullptr;
  return PageOfTab(frames, tab_id);
}

// The top-level frames a request names: all of them for -1, else the first with that id.
std::vector<ComPtr<IBrowserFrame>> FramesNamed(IBrowserFrameMgr* frames, LONG frame_id) {
  std::vector<ComPtr<IBrowserFrame>> named;
  LONG count = 0;
  if (FAILED(frames->GetItemCount(kBrowserItemTopLevelFrame, &count))) return named;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IBrowserFrame> frame;
    if (FAILED(frames->GetItem(kBrowserItemTopLevelFrame, i, frame.ReleaseAndGetAddressOf())) ||
        !frame) {
      continue;
    }
    LONG id = -1;
    frame->GetFrameId(&id);
    if (frame_id == kEveryTopLevelFrame) {
      named.push_back(std::move(frame));
    } else if (id == frame_id) {
      named.push_back(std::move(frame));
      break;
    }
  }
  return named;
}

// The manager's end of one started snapshot. Holds the manager until the page reports.
class CSnapshotSink : public halcy::ComObjectRoot, public IPageSnapshotSink {
 public:
  HALCY_BEGIN_INTERFACES(CSnapshotSink)
  HALCY_INTERFACE(CSnapshotSink, IPageSnapshotSink)
  HALCY_END_INTERFACES()

  CSnapshotSink(CExtensionMgrImpl* manager, IUnknown* page, LONG frame_id, std::u16string target)
      : manager_(manager), page_(page), frame_id_(frame_id), target_(std::move(target)) {}

  HRESULT OnSnapshotFinished(BOOL succeeded) override {
    manager_->OnPageSnapshotFinished(page_, frame_id_, succeeded != FALSE, target_);
    return S_OK;
  }

 private:
  const base::RefPtr<CExtensionMgrImpl> manager_;
  // The page's identity, only compared: the page holds this sink, so a reference back would
  // keep both alive when the page never reports.
  IUnknown* const page_;
  const LONG frame_id_;
  const std::u16string target_;
};

}  // namespace

// --- Entry points, extension-manager thread ---

namespace {

// Posts `fn` to the UI thread as a task named `name`; `fn` holds what it needs (a reference on
// the manager and copies of the request's texts) until it has run or been dropped.
template <class F>
void PostToUIThread(const char16_t* name, F&& fn) {
  Thread::PostTask(Thread::kThreadUI, Thread::NewFuncTask(std::forward<F>(fn), name));
}

}  // namespace

HRESULT CExtensionMgrImpl::OpenWebPage(const std::u16string& extension_id, int64_t frame_id,
                                       const std::u16string& url, LONG relative_allowed,
                                       LONG run_script, const std::u16string& script,
                                       LONG /*value*/) {
  if (!started_.load()) return S_FALSE;
  // The last number is the library's and the browser's; this browser has no use for it.
  PostToUIThread(u"&CExtensionMgrImpl::OpenWebPage",
                 [self = base::RefPtr<CExtensionMgrImpl>(this), extension_id,
                  frame = static_cast<LONG>(frame_id), url, relative_allowed, run_script, script] {
                   // The library is not answered, whatever the outcome.
                   self->OpenWebPageInUIThread(extension_id, frame, url, relative_allowed,
                                               run_script, script);
                 });
  return S_FALSE;
}

HRESULT CExtensionMgrImpl::GetWebPageInfo(const std::u16string& extension_id, int64_t frame_id,
                                          int64_t number, LONG flag,
                                          const std::u16string& request) {
  if (!started_.load()) return S_FALSE;
  PostToUIThread(
      u"&CExtensionMgrImpl::GetWebPageInfo",
      [self = base::RefPtr<CExtensionMgrImpl>(this), extension_id,
       frame = static_cast<LONG>(frame_id), low = static_cast<LONG>(number), flag,
       request] { self->GetWebPageInfoInUIThread(extension_id, frame, low, flag, request); });
  return S_FALSE;
}

HRESULT CExtensionMgrImpl::SnapShotWebPage(int64_t frame_id, const std::u16string& extension_id,
                                           LONG value, const std::u16string& target) {
  if (!started_.load()) return S_FALSE;
  PostToUIThread(u"&CExtensionMgrImpl::SnapShotWebPage",
                 [self = base::RefPtr<CExtensionMgrImpl>(this), frame = static_cast<LONG>(frame_id),
                  extension_id, value,
                  target] { self->SnapShotWebPageInUIThread(frame, extension_id, value, target); });
  return S_FALSE;
}

HRESULT CExtensionMgrImpl::PostCommandToUI(const std::u16string& extension_id, int64_t value1,
                                           int64_t value2, const std::u16string& command) {
  if (!started_.load()) return S_FALSE;
  PostToUIThread(u"&CExtensionMgrImpl::PostCommandToUI",
                 [self = base::RefPtr<CExtensionMgrImpl>(this), extension_id,
                  low1 = static_cast<LONG>(value1), low2 = static_cast<LONG>(value2),
                  command] { self->PostCommandToUIInUIThread(extension_id, low1, low2, command); });
  return S_FALSE;
}

void CExtensionMgrImpl::SetOpenPageBlocked(const std::u16string& extension_id, bool blocked) {
  base::CAutoLock hold(open_page_guard_lock_);
  if (blocked) {
    open_page_guard_.insert(extension_id);
  } else {
    open_page_guard_.erase(extension_id);
  }
}

size_t CExtensionMgrImpl::PendingSnapshotCount() const {
  base::CAutoLock hold(snapshot_lock_);
  return pending_snapshots_.size();
}

// --- UI thread ---

HRESULT CExtensionMgrImpl::OpenWebPageInUIThread(std::u16string extension_id, LONG frame_id,
                                                 std::u16string url, LONG relative_allowed,
                                                 LONG run_script, std::u16string script) {
  if (url.empty()) return S_FALSE;
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  ComPtr<IBrowserFrame> frame;
  if (!frames ||
      frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf()) != S_OK ||
      !frame) {
    return S_FALSE;
  }
  {
    base::CAutoLock hold(open_page_guard_lock_);
    if (open_page_guard_.count(extension_id)) return E_FAIL;
  }
  if (!IsAbsoluteAddress(url) && relative_allowed) {
    ComPtr<IExtensionAgent> agent = InstalledAgent(extension_id);
    url = (agent ? AgentText(agent.Get(), &IExtensionAgent::GetBaseUrl) : u"") + url;
  }
  halcy::ScopedBstr address(url);
  LONG tab_id = -1;
  HRESULT hr = frame->OpenUrl(address.Get(), 1, -1, run_script ? 2 : 1, 0, 2, &tab_id);
  if (FAILED(hr) || !run_script || script.empty()) return hr;
  ComPtr<IUnknown> page = PageOfTab(frames.Get(), tab_id);
  ComPtr<IBrowserPage> browser_page;
  if (!page ||
      FAILED(page->QueryInterface(IBrowserPage::kIID, browser_page.ReleaseAndGetVoidAddress()))) {
    return E_FAIL;
  }
  halcy::ScopedBstr code(script);
  return browser_page->RunScript(code.Get());
}

void CExtensionMgrImpl::GetWebPageInfoInUIThread(std::u16string extension_id, LONG frame_id,
                                                 LONG number, LONG flag, std::u16string request) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return;
  for (const ComPtr<IBrowserFrame>& frame : FramesNamed(frames.Get(), frame_id)) {
    LONG id = -1;
    frame->GetFrameId(&id);
    std::u16string information;
    if (number == 0 && flag) {
      ComPtr<IBrowserPage> page;
      if (ComPtr<IUnknown> item = ActivePageOf(frames.Get(), frame.Get())) {
        item->QueryInterface(IBrowserPage::kIID, page.ReleaseAndGetVoidAddress());
      }
      halcy::ScopedBstr text;
      // A page that cannot describe itself is answered with an empty text.
      if (page && SUCCEEDED(page->GetInfoText(text.Receive()))) information = text.View();
    }
    dll_host_.Send(NewPageInfoMessage(extension_id, id, flag, request, information));
  }
}

void CExtensionMgrImpl::SnapShotWebPageInUIThread(LONG frame_id, std::u16string extension_id,
                                                  LONG value, std::u16string target) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return;
  for (const ComPtr<IBrowserFrame>& frame : FramesNamed(frames.Get(), frame_id)) {
    StartPageSnapshot(frame.Get(), extension_id, value, target);
  }
}

void CExtensionMgrImpl::StartPageSnapshot(IBrowserFrame* frame, const std::u16string& extension_id,
                                          LONG value, const std::u16string& target) {
  LONG id = -1;
  frame->GetFrameId(&id);
  ComPtr<IUnknown> page;
  if (ComPtr<IUnknown> item = ActivePageOf(FrameMgr().Get(), frame)) {
    // Pages are told apart by their COM identity.
    item->QueryInterface(IUnknown::kIID, page.ReleaseAndGetVoidAddress());
  }
  bool started = false;
  if (page) {
    ComPtr<IPageContent> content;
    ComPtr<IPageSnapshotEvents> events;
    page->QueryInterface(IPageContent::kIID, content.ReleaseAndGetVoidAddress());
    page->QueryInterface(IPageSnapshotEvents::kIID, events.ReleaseAndGetVoidAddress());
    // The page never reports from inside StartSnapshot, so holding the lock here is safe; it
    // keeps a report from another thread from arriving before the entry exists.
    base::CAutoLock hold(snapshot_lock_);
    if (content && !pending_snapshots_.count(page.Get())) {
      if (events) {
        events->SetSnapshotSink(
            halcy::MakeComObject<CSnapshotSink>(this, page.Get(), id, target).Get());
      }
      halcy::ScopedBstr file(target);
      started = SUCCEEDED(content->StartSnapshot(value, file.Get()));
      if (started) pending_snapshots_[page.Get()] = PendingSnapshot{page, extension_id};
      if (!started && events) events->SetSnapshotSink(nullptr);
    }
  }
  if (!started) dll_host_.Send(NewRequestAnswerMessage(extension_id, -1, 0, target));
}

void CExtensionMgrImpl::OnPageSnapshotFinished(IUnknown* page, LONG frame_id, bool succeeded,
                                               const std::u16string& target) {
  PendingSnapshot finished;
  {
    base::CAutoLock hold(snapshot_lock_);
    auto it = pending_snapshots_.find(page);
    if (it == pending_snapshots_.end()) return;  // reported twice, or never recorded
    finished = std::move(it->second);
    pending_snapshots_.erase(it);
  }
  Log(kLogProgress, u"extMgr;", u"extMgr: snapshot of frame %d for %s into %s: %s", frame_id,
      finished.extension_id.c_str(), target.c_str(), succeeded ? u"done" : u"failed");
  dll_host_.Send(NewRequestAnswerMessage(finished.extension_id, succeeded ? frame_id : -1,
                                         succeeded ? 1 : 0, target));
  // `finished.page` is released here, with no lock held.
}

void CExtensionMgrImpl::DropPendingSnapshots() {
  std::map<IUnknown*, PendingSnapshot> dropped;
  {
    base::CAutoLock hold(snapshot_lock_);
    dropped.swap(pending_snapshots_);
  }
  // The pages go here, with no lock held; what they report later finds no entry.
}

void CExtensionMgrImpl::PostCommandToUIInUIThread(std::u16string extension_id, LONG value1,
                                                  LONG value2, std::u16string command) {
  ComPtr<IUIExtPtMgr> ui;
  GetUIExtPtMgr(ui.ReleaseAndGetAddressOf());
  if (!ui) return;
  halcy::ScopedBstr point(kToolbarPointId), id(extension_id), text(command);
  ui->PostCommand(point.Get(), id.Get(), value1, value2, text.Get());
}

}  // namespace Logic
