// The browser's popup frames (command/browser_popups.h, IPopupFrame): each popup object is
// made by its IID, records every call that changes what the browser shows as one
// {"to":"ui",...} line (host/ui_call_log.h, the popup's frame id first), and enters the shared
// table of open popups when its window is created. The browser model lists that table as its
// frame items of kind 2, so an extension asking again for the same URL finds the open popup.
//
//   auto popups = std::make_shared<host::CPopupFrameTable>(log);
//   popups->SetWindowThread(ui_thread_id);
//   ... register CPopupFrame::Factory(popups) for IPopupFrame ...
//   popups->Count();  // open popups
//
// Free-threaded: the table and each popup are under their own locks, never held while the log
// is written or another object is called.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command/browser_model.h"
#include "command/browser_popups.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"

namespace host {

class CPopupFrame;

class CPopupFrameTable {
 public:
  explicit CPopupFrameTable(std::shared_ptr<CUiCallLog> log) : log_(std::move(log)) {}

  CUiCallLog* log() const { return log_.get(); }
  // Popup windows belong to the browser's UI thread, named here once it runs.
  void SetWindowThread(DWORD thread_id);
  DWORD window_thread() const;
  // A fresh frame id for a new popup.
  LONG NextFrameId();
  void Add(CPopupFrame* popup);
  LONG Count() const;
  // The open popup at `index` in opening order, or null.
  ComPtr<CPopupFrame> At(LONG index) const;
  ComPtr<CPopupFrame> ById(LONG frame_id) const;
  ComPtr<CPopupFrame> ByWindow(HANDLE window) const;
  // Drops every popup (the browser is shutting down).
  void Clear();

 private:
  const std::shared_ptr<CUiCallLog> log_;
  mutable std::mutex lock_;
  DWORD window_thread_ = 0;                  // Guarded by lock_
  std::vector<ComPtr<CPopupFrame>> popups_;  // Guarded by lock_
  LONG next_id_ = 5001;                      // Guarded by lock_; apart from browser frames' ids
};

class CPopupFrame : public halcy::ComObjectRoot,
                    public Logic::IPopupFrame,
                    public Logic::IBrowserFrame {
 public:
  HALCY_BEGIN_INTERFACES(CPopupFrame)
  HALCY_INTERFACE(CPopupFrame, Logic::IPopupFrame)
  HALCY_INTERFACE(CPopupFrame, Logic::IBrowserFrame)
  HALCY_END_INTERFACES()

  // The creatable-class entry that makes popups entering `table`.
  static halcy::CreatableClass Factory(std::shared_ptr<CPopupFrameTable> table);

  explicit CPopupFrame(std::shared_ptr<CPopupFrameTable> table);
  ~CPopupFrame();

  LONG frame_id() const { return frame_id_; }
  HANDLE window() const;
  // Minimises the window, as a user would.
  void Minimize();

  // --- IPopupFrame ---
  HRESULT GetUrl(BSTR* url) override;
  HRESULT SetOwnerFrame(Logic::IBrowserFrame* owner) override;
  HRESULT SetMainWindow(IUnknown* main_window) override;
  HRESULT SetSize(LONG width, LONG height) override;
  HRESULT CreateFrameWindow() override;
  HRESULT Show(LONG command) override;
  HRESULT SetOwnerWindow(HANDLE owner) override;
  HRESULT SetCaption(BSTR caption) override;
  HRESULT SetIcon(BSTR icon) override;
  HRESULT Navigate(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5) override;
  HRESULT GetFrameId(LONG* frame_id) override;
  HRESULT IsMinimized(BOOL* minimized) override;
  HRESULT Restore() override;
  HRESULT Activate() override;

  // --- IBrowserFrame (GetFrameId is shared) ---
  HRESULT GetWindowHandle(HANDLE* window) override;
  HRESULT GetTabContainer(Logic::IBrowserTabContainer** container) override;
  HRESULT IsFullScreen(BOOL* full_screen) override;
  HRESULT ActivateTab(LONG tab_id) override;
  HRESULT OpenUrl(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5,
                  LONG* tab_id) override;

 private:
  void Record(std::string_view call, std::vector<UiArg> args);

  const std::shared_ptr<CPopupFrameTable> table_;
  const LONG frame_id_;
  mutable std::mutex lock_;
  std::u16string url_;       // Guarded by lock_
  HANDLE window_ = nullptr;  // Guarded by lock_
  bool minimized_ = false;   // Guarded by lock_
};

}  // namespace host
