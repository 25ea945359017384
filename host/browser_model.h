// The browser's window and login model: top-level frames with their tab containers and tabs,
// the pages shown in them, the signed-in user and the login dialog. One object answers the
// frame service IBrowserFrameMgr, the login service ILoginService and the login dialog
// ILoginDialog; frames, tab containers, tabs and pages are small COM objects handed out on
// request that read the model's current state by id (a tab that has been closed answers
// E_FAIL).
//
// The model is driven from outside (tests, the scenario player) with the operations under
// "Scripting", and raises the notification-manager calls the browser would make for each
// change, looked up as the IExtensionNotifyMgr service at the time of the call (nothing is
// raised when it is absent):
//   AddFrame        NotifyFrameCreate(frame)
//   CloseFrame      NotifyCloseTab for each of its tabs, then NotifyFrameClose(frame)
//   AddTab          NotifyAddTab(tab, frame); the frame's first tab becomes its active tab
//   Navigate        NotifyUrlChange(old, new, tab), then NotifyDocumentComplete(tab, new)
//   Activate        NotifySwitchTab(old tab, old URL, new tab, new URL, 0) when it changes
//   CloseTab        NotifyCloseTab(tab, frame, URL, 0); when it was active, the next tab (else
//                   the previous one) becomes active with NotifySwitchTab from the closed tab
//   SetFullScreen   NotifyFrameFullScreen(frame, 1 or 0) when it changes
//   Login / Logout / SwitchUser   NotifyLogin / NotifyLogout / NotifySwitchUser
// The login dialog, when shown, signs in the user prepared with SetDialogLogin (if any) as a
// first login, and counts the call.
//
// Open popups (host/popup_frames.h) are the frame items of kind 2. Each top-level frame has a
// window of the platform's window table (platform/windows.h) owned by the UI thread, answers
// IBrowserMainWindow (its window mode changes are recorded), and the model as ISideBarMgr
// names the frame or popup of a window.
//
// Free-threaded: state is guarded by one lock that is never held while a notification or any
// other outside call is made.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "command/browser_model.h"
#include "command/browser_popups.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"

namespace host {

class CPopupFrameTable;

class CBrowserModel : public halcy::ComObjectRoot,
                      public Logic::IBrowserFrameMgr,
                      public Logic::ILoginService,
                      public Logic::ILoginDialog,
                      public Logic::ISideBarMgr {
 public:
  HALCY_BEGIN_INTERFACES(CBrowserModel)
  HALCY_INTERFACE(CBrowserModel, Logic::IBrowserFrameMgr)
  HALCY_INTERFACE(CBrowserModel, Logic::ILoginService)
  HALCY_INTERFACE(CBrowserModel, Logic::ILoginDialog)
  HALCY_INTERFACE(CBrowserModel, Logic::ISideBarMgr)
  HALCY_END_INTERFACES()

  struct User {
    std::u16string user_id;
    std::u16string user_name;
    std::u16string cookie;
  };

  // --- Scripting. E_INVALIDARG for an unknown frame or tab or a duplicate id. ---
  HRESULT AddFrame(LONG frame_id);
  HRESULT CloseFrame(LONG frame_id);
  HRESULT AddTab(LONG frame_id, LONG tab_id, const std::u16string& url,
                 const std::u16string& title);
  HRESULT Navigate(LONG tab_id, const std::u16string& url);
  HRESULT Activate(LONG tab_id);
  HRESULT CloseTab(LONG tab_id);
  HRESULT SetFullScreen(LONG frame_id, bool full_screen);
  HRESULT SetTitle(LONG tab_id, const std::u16string& title);
  HRESULT SetFavicon(LONG tab_id, const std::u16string& favicon);
  // Media found in the tab's page: presence, the "empty" flag and the media JSON text.
  HRESULT SetMedia(LONG tab_id, bool has_media, bool empty, const std::u16string& media_info);
  // The number of images the tab's page reports when asked to count them.
  HRESULT SetImageCount(LONG tab_id, LONG count);
  void Login(const User& user, bool first_login);
  void Logout();
  void SwitchUser(const std::u16string& old_user, const std::u16string& new_user);
  // The user the login dialog signs in when it is shown (none: the dialog signs in nobody).
  void SetDialogLogin(std::optional<User> user);

  // The open popups, listed as items of kind 2 (none until set).
  void SetPopupFrames(std::shared_ptr<CPopupFrameTable> popups);
  // The thread that owns the windows of frames added from now on (the UI thread).
  void SetWindowThread(DWORD thread_id);
  // Where the calls the module makes on frames and pages are recorded (by default nowhere).
  void SetUiCallLog(std::shared_ptr<CUiCallLog> log);
  std::shared_ptr<CUiCallLog> ui_log() const;
  // Adds a tab showing `url` to the frame under a fresh id (above every id in use), as the
  // browser does when a page is opened in a new tab; the new tab becomes the active one.
  HRESULT OpenTab(LONG frame_id, const std::u16string& url, LONG* tab_id);

  // --- Observation ---
  int login_dialog_shows() const;
  HANDLE last_dialog_owner() const;
  // The window handle of a frame (null for an unknown frame).
  HANDLE WindowOf(LONG frame_id) const;
  // (extension id, tab id) of every image-count request, in order.
  std::vector<std::pair<std::u16string, LONG>> image_count_requests() const;

  // --- IBrowserFrameMgr ---
  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT GetItemCount(LONG kind, LONG* count) override;
  HRESULT GetItem(LONG kind, LONG index, Logic::IBrowserFrame** frame) override;
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT ReservedSlot11() override { return E_NOTIMPL; }
  HRESULT ReservedSlot12() override { return E_NOTIMPL; }
  HRESULT GetItemById(LONG id, LONG kind, IUnknown** item) override;
  HRESULT GetFrameById(LONG frame_id, LONG kind, Logic::IBrowserFrame** frame) override;

  // --- ILoginService ---
  HRESULT IsLoggedIn(BOOL* logged_in) override;
  HRESULT GetUserId(BSTR* user_id) override;
  HRESULT GetUserName(BSTR* user_name) override;
  HRESULT GetCookie(BSTR* cookie) override;

  // --- ILoginDialog (ReservedSlot3 and 4 are shared with IBrowserFrameMgr's) ---
  HRESULT ShowLoginDialog(HANDLE owner, LONG modal, LONG reserved1, LONG reserved2) override;

  // --- ISideBarMgr ---
  HRESULT GetFrameOfWindow(HANDLE window, IUnknown** frame) override;

  // --- For the item objects (frames, containers, tabs, pages) ---
  struct TabState {
    LONG id = -1;
    LONG frame_id = -1;
    std::u16string url;
    std::u16string title;
    std::u16string favicon;
    bool has_media = false;
    bool media_empty = true;
    std::u16string media_info;
    LONG image_count = 0;
  };
  struct FrameState {
    LONG id = -1;
    HANDLE window = nullptr;
    bool full_screen = false;
    std::vector<LONG> tabs;  // in tab-strip order
    LONG active_tab = -1;
  };
  std::optional<TabState> Tab(LONG tab_id) const;
  std::optional<FrameState> Frame(LONG frame_id) const;
  HRESULT CountImages(LONG tab_id, const std::u16string& extension_id);

 private:
  // REQUIRES: lock_
  FrameState* FindFrame(LONG frame_id);

  mutable std::mutex lock_;
  std::vector<FrameState> frames_;   // Guarded by lock_; top-level frames in creation order
  std::map<LONG, TabState> tabs_;    // Guarded by lock_
  std::optional<User> user_;         // Guarded by lock_
  std::optional<User> dialog_user_;  // Guarded by lock_
  int dialog_shows_ = 0;             // Guarded by lock_
  HANDLE dialog_owner_ = nullptr;    // Guarded by lock_
  DWORD window_thread_ = 0;          // Guarded by lock_
  std::shared_ptr<CPopupFrameTable> popups_;                             // Guarded by lock_
  std::vector<std::pair<std::u16string, LONG>> image_requests_;          // Guarded by lock_
  std::shared_ptr<CUiCallLog> ui_log_ = std::make_shared<CUiCallLog>();  // Guarded by lock_
};

}  // namespace host
