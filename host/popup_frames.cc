#include "host/popup_frames.h"

#include <utility>

#include "host/service_registrations.h"
#include "platform/bstr.h"
#include "platform/windows.h"

namespace host {
void CPopupFrameTable::SetWindowThread(DWORD thread_id) {
  std::lock_guard<std::mutex> hold(lock_);
  window_thread_ = thread_id;
}

DWORD CPopupFrameTable::window_thread() const {
  std::lock_guard<std::mutex> hold(lock_);
  return window_thread_;
}

LONG CPopupFrameTable::NextFrameId() {
  std::lock_guard<std::mutex> hold(lock_);
  return next_id_++;
}

void CPopupFrameTable::Add(CPopupFrame* popup) {
  std::lock_guard<std::mutex> hold(lock_);
  popups_.emplace_back(popup);
}

LONG CPopupFrameTable::Count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<LONG>(popups_.size());
}

ComPtr<CPopupFrame> CPopupFrameTable::At(LONG index) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (index < 0 || static_cast<size_t>(index) >= popups_.size()) return nullptr;
  return popups_[index];
}

ComPtr<CPopupFrame> CPopupFrameTable::ById(LONG frame_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const ComPtr<CPopupFrame>& popup : popups_) {
    if (popup->frame_id() == frame_id) return popup;
  }
  return nullptr;
}

ComPtr<CPopupFrame> CPopupFrameTable::ByWindow(HANDLE window) const {
  std::vector<ComPtr<CPopupFrame>> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    popups = popups_;
  }
  for (const ComPtr<CPopupFrame>& popup : popups) {
    if (popup->window() == window) return popup;
  }
  return nullptr;
}

void CPopupFrameTable::Clear() {
  std::vector<ComPtr<CPopupFrame>> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    popups.swap(popups_);
  }
  // Released here, outside the lock: a popup's destructor takes its own.
}

halcy::CreatableClass CPopupFrame::Factory(std::shared_ptr<CPopupFrameTable> table) {
  return MakeObjectFactory<CPopupFrame>(std::move(table));
}

CPopupFrame::CPopupFrame(std::shared_ptr<CPopupFrameTable> table)
    : table_(std::move(table)), frame_id_(table_->NextFrameId()) {}

CPopupFrame::~CPopupFrame() {
  if (window_) DestroyWindow(window_);
}

HANDLE CPopupFrame::window() const {
  std::lock_guard<std::mutex> hold(lock_);
  return window_;
}

void CPopupFrame::Minimize() {
  std::lock_guard<std::mutex> hold(lock_);
  minimized_ = true;
}

void CPopupFrame::Record(std::string_view call, std::vector<UiArg> args) {
  args.insert(args.begin(), UiArg(static_cast<int64_t>(frame_id_)));
  table_->log()->Record(call, args);
}

HRESULT CPopupFrame::GetUrl(BSTR* url) {
  if (!url) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *url = SysAllocStringLen(url_.data(), static_cast<UINT>(url_.size()));
  return *url ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPopupFrame::SetOwnerFrame(Logic::IBrowserFrame* owner) {
  LONG owner_id = -1;
  if (owner) owner->GetFrameId(&owner_id);
  Record("SetOwnerFrame", {static_cast<int64_t>(owner_id)});
  return S_OK;
}

HRESULT CPopupFrame::SetMainWindow(IUnknown* main_window) {
  ComPtr<Logic::IBrowserFrame> frame;
  LONG frame_id = -1;
  if (main_window && SUCCEEDED(main_window->QueryInterface(Logic::IBrowserFrame::kIID,
                                                           frame.ReleaseAndGetVoidAddress()))) {
    frame->GetFrameId(&frame_id);
  }
  Record("SetMainWindow", {static_cast<int64_t>(frame_id)});
  return S_OK;
}

HRESULT CPopupFrame::SetSize(LONG width, LONG height) {
  Record("SetSize", {width, height});
  return S_OK;
}

HRESULT CPopupFrame::CreateFrameWindow() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (window_) return E_UNEXPECTED;  // one window per popup
    window_ = CreateStandInWindow(table_->window_thread(), false);
  }
  table_->Add(this);
  Record("CreateFrameWindow", {});
  return S_OK;
}

HRESULT CPopupFrame::Show(LONG command) {
  HANDLE shown = window();
  if (!shown) return E_UNEXPECTED;
  ShowWindow(shown, command);
  Record("Show", {command});
  return S_OK;
}

HRESULT CPopupFrame::SetOwnerWindow(HANDLE owner) {
  Record("SetOwnerWindow", {HandleArg(owner)});
  return S_OK;
}

HRESULT CPopupFrame::SetCaption(BSTR caption) {
  Record("SetCaption", {caption});
  return S_OK;
}

HRESULT CPopupFrame::SetIcon(BSTR icon) {
  Record("SetIcon", {icon});
  return S_OK;
}

HRESULT CPopupFrame::Navigate(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    url_ = halcy::BstrText(url);
  }
  Record("Navigate", {url, arg1, arg2, arg3, arg4, arg5});
  return S_OK;
}

HRESULT CPopupFrame::GetFrameId(LONG* frame_id) {
  if (!frame_id) return E_POINTER;
  *frame_id = frame_id_;
  return S_OK;
}

HRESULT CPopupFrame::IsMinimized(BOOL* minimized) {
  if (!minimized) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *minimized = minimized_ ? TRUE : FALSE;
  return S_OK;
}

HRESULT CPopupFrame::Restore() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    minimized_ = false;
  }
  Record("Restore", {});
  return S_OK;
}

HRESULT CPopupFrame::Activate() {
  Record("Activate", {});
  return S_OK;
}

HRESULT CPopupFrame::GetWindowHandle(HANDLE* window_handle) {
  if (!window_handle) return E_POINTER;
  *window_handle = window();
  return S_OK;
}

HRESULT CPopupFrame::GetTabContainer(Logic::IBrowserTabContainer** container) {
  if (!container) return E_POINTER;
  *container = nullptr;
  return S_FALSE;  // a popup shows one page, without tabs
}

HRESULT CPopupFrame::IsFullScreen(BOOL* full_screen) {
  if (!full_screen) return E_POINTER;
  *full_screen = FALSE;
  return S_OK;
}

HRESULT CPopupFrame::ActivateTab(LONG) { return E_INVALIDARG; }

HRESULT CPopupFrame::OpenUrl(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5,
                             LONG* tab_id) {
  if (!tab_id) return E_POINTER;
  *tab_id = -1;  // the popup's own page: no tab
  return Navigate(url, arg1, arg2, arg3, arg4, arg5);
}

}  // namespace host
