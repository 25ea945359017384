// The browser's popup frames, its main windows and its side-bar manager, as the common command
// host uses them. A popup frame (IPopupFrame) is created by its IID for each popup an extension
// opens, and the browser lists open popups as frame items of kind 2 (command/browser_model.h),
// on which IPopupFrame is queried. Top-level browser frames answer IBrowserMainWindow, which
// switches their window mode. The side-bar manager maps a top-level window to its frame; the
// frame lookup of the current thread (thread/frame_lookup.h) relies on it.
//
//   ComPtr<IPopupFrame> popup;   // CreateObjectByIID(IPopupFrame::kIID, ...)
//   popup->SetOwnerFrame(owner); popup->SetSize(400, 300); popup->CreateFrameWindow();
//   popup->Show(5); popup->Navigate(url, 1, -1, 0, 0, 2); popup->GetFrameId(&id);
//
// Slot numbers are given beside each operation. Threads: popups and windows belong to the UI
// thread, where the handlers that call them run.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IBrowserFrame;

struct IPopupFrame : IUnknown {
  static constexpr IID kIID = MakeGuid("5AD8EFA1-CEE2-4661-9F0A-F4B88D5811E5");
  // 3: the URL the popup shows (empty before it navigated).
  virtual HRESULT GetUrl(BSTR* url) = 0;
  // 4, 5: the frame that owns the popup, and the owner's main window (IBrowserMainWindow).
  virtual HRESULT SetOwnerFrame(IBrowserFrame* owner) = 0;
  virtual HRESULT SetMainWindow(IUnknown* main_window) = 0;
  // 6
  virtual HRESULT SetSize(LONG width, LONG height) = 0;
  // 7: creates the popup's window; fails when the window cannot be made.
  virtual HRESULT CreateFrameWindow() = 0;
  // 8: `command` is a window show command (5: show).
  virtual HRESULT Show(LONG command) = 0;
  // 9: the owner frame's window handle.
  virtual HRESULT SetOwnerWindow(HANDLE owner) = 0;
  // 10, 11: a null caption leaves the browser's default.
  virtual HRESULT SetCaption(BSTR caption) = 0;
  virtual HRESULT SetIcon(BSTR icon) = 0;
  // 12: loads `url` into the popup's frame; the numbers are the browser's (1, -1, 0, 0, 2).
  virtual HRESULT Navigate(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5) = 0;
  // 13
  virtual HRESULT GetFrameId(LONG* frame_id) = 0;
  // 14: whether the popup's window is minimised.
  virtual HRESULT IsMinimized(BOOL* minimized) = 0;
  // 15, 16: restores a minimised window; makes the window the active one.
  virtual HRESULT Restore() = 0;
  virtual HRESULT Activate() = 0;
};

// A top-level browser window.
struct IBrowserMainWindow : IUnknown {
  static constexpr IID kIID = MakeGuid("E433E9B4-8318-46AC-B2CC-90FA635E6779");
  // 3: the window mode (3: the frame moves into an independent window).
  virtual HRESULT SetWindowMode(LONG mode) = 0;
};

// The browser's side-bar manager.
struct ISideBarMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("A737E710-21E8-4D43-A57D-159508E8BBFF");
  // 3: the frame object of the top-level window `window` (IBrowserFrame, or IPopupFrame for a
  // popup's window); S_FALSE and null when the window is not a browser frame's.
  virtual HRESULT GetFrameOfWindow(HANDLE window, IUnknown** frame) = 0;
};

}  // namespace Logic
