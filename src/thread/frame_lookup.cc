#include "thread/frame_lookup.h"

#include "command/browser_model.h"
#include "command/browser_popups.h"
#include "platform/threads.h"
#include "platform/windows.h"
#include "thread/service_lookup.h"

namespace Thread {
namespace {

struct Search {
  LONG kind;
  bool visible_only;
  IUnknown* found = nullptr;  // one reference once set
};

// The interface of `kind` on the side-bar manager's frame object, or null.
IUnknown* FrameInterface(IUnknown* frame, LONG kind) {
  void* out = nullptr;
  if (kind == 0) {
    ComPtr<Logic::IBrowserFrame> browser_frame;
    ComPtr<Logic::IBrowserTabContainer> content;
    if (FAILED(frame->QueryInterface(Logic::IBrowserFrame::kIID,
                                     browser_frame.ReleaseAndGetVoidAddress())) ||
        browser_frame->GetTabContainer(content.ReleaseAndGetAddressOf()) != S_OK || !content) {
      return nullptr;  // no current content: not a browser frame showing pages
    }
    return browser_frame.Detach();
  }
  const IID& iid = kind == 1 ? kIID_FrameKind1 : Logic::IPopupFrame::kIID;
  if (kind != 1 && kind != 2) return nullptr;
  if (FAILED(frame->QueryInterface(iid, &out))) return nullptr;
  return static_cast<IUnknown*>(out);
}

BOOL CheckWindow(HANDLE window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  // Looked up per window, as the browser's services are never kept.
  ComPtr<Logic::ISideBarMgr> side_bar = GetServiceOrLog<Logic::ISideBarMgr>(u"ISideBarMgr");
  if (!side_bar || !IsWindow(window) || (search->visible_only && !IsWindowVisible(window))) {
    return TRUE;
  }
  ComPtr<IUnknown> frame;
  if (side_bar->GetFrameOfWindow(window, frame.ReleaseAndGetAddressOf()) != S_OK || !frame) {
    return TRUE;
  }
  search->found = FrameInterface(frame.Get(), search->kind);
  return search->found ? FALSE : TRUE;
}

}  // namespace

HRESULT FindFrameOfCurrentThread(LONG kind, IUnknown** frame, bool visible_only) {
  if (!frame) return E_POINTER;
  Search search{kind, visible_only};
  EnumThreadWindows(GetCurrentThreadId(), &CheckWindow, reinterpret_cast<LPARAM>(&search));
  *frame = search.found;
  return search.found ? S_OK : E_FAIL;
}

}  // namespace Thread
