// The browser's window model as the command hosts see it: the frame service IBrowserFrameMgr
// with its frames, tab containers and tabs, the page objects shown in tabs, and the login
// services. The browser (plexore-host) implements them and registers the services with the
// object factory; the module looks them up for each use and keeps no reference.
//
// Item kinds of IBrowserFrameMgr: 0 top-level browser frames, 2 popup frames, and 3 for
// lookups by id that accept any item (a tab, or a frame of any kind). A top-level frame holds
// a tab container; the container's tab at index kActiveTabIndex is the frame's active tab.
//
// Slots the browser fixes (IBrowserFrameMgr 8, 9, 13, 14; ILoginDialog 5) keep their numbers;
// the slots in between are reserved and answer E_NOTIMPL. IBrowserFrame, IBrowserTabContainer,
// IBrowserTab and IBrowserPage are the browser's item interfaces in the form this module uses.
//
// Threads: the browser's frame objects belong to its UI thread, and the handlers that walk
// them run there. The host's model is free-threaded besides, so that tests and the scenario
// player may drive it from any thread.
#pragma once

#include "platform/com.h"

namespace Logic {

constexpr LONG kBrowserItemTopLevelFrame = 0;
constexpr LONG kBrowserItemPopupFrame = 2;
constexpr LONG kBrowserItemAny = 3;
constexpr LONG kActiveTabIndex = -254;

struct IBrowserTab;
struct IBrowserTabContainer;

// A frame: a top-level browser window or a popup.
struct IBrowserFrame : IUnknown {
  static constexpr IID kIID = MakeGuid("7B0E5C21-4D1A-4F6B-9C3E-2A81F0D6B410");
  // 3
  virtual HRESULT GetFrameId(LONG* frame_id) = 0;
  // 4: the frame's top-level window.
  virtual HRESULT GetWindowHandle(HANDLE* window) = 0;
  // 5: S_FALSE with null for a frame without tabs.
  virtual HRESULT GetTabContainer(IBrowserTabContainer** container) = 0;
  // 6
  virtual HRESULT IsFullScreen(BOOL* full_screen) = 0;
  // 7: makes the tab with that id the active one; E_INVALIDARG when the frame has no such tab.
  virtual HRESULT ActivateTab(LONG tab_id) = 0;
  // 8: opens `url` in the frame (a new tab of a browser frame, the page of a popup) and gives
  // the id of the tab that shows it. The four numbers are the browser's: (1, -1, 1 or 2, 0, 2)
  // for a page a library opens, (1, -1, 0, 0, 2) for a popup's page.
  virtual HRESULT OpenUrl(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5,
                          LONG* tab_id) = 0;
};

struct IBrowserTabContainer : IUnknown {
  static constexpr IID kIID = MakeGuid("7B0E5C22-4D1A-4F6B-9C3E-2A81F0D6B410");
  // 3
  virtual HRESULT GetTabCount(LONG* count) = 0;
  // 4: E_INVALIDARG outside 0..count-1.
  virtual HRESULT GetTab(LONG index, IBrowserTab** tab) = 0;
  // 5: the id of the tab at `index`; kActiveTabIndex gives the active tab (E_FAIL with none).
  virtual HRESULT GetTabId(LONG index, LONG* tab_id) = 0;
};

struct IBrowserTab : IUnknown {
  static constexpr IID kIID = MakeGuid("7B0E5C23-4D1A-4F6B-9C3E-2A81F0D6B410");
  virtual HRESULT GetTabId(LONG* tab_id) = 0;      // 3
  virtual HRESULT GetFrameId(LONG* frame_id) = 0;  // 4: the frame that holds the tab
  virtual HRESULT GetUrl(BSTR* url) = 0;           // 5
  virtual HRESULT GetTitle(BSTR* title) = 0;       // 6
  virtual HRESULT GetFavicon(BSTR* url) = 0;       // 7
  // 8: the page shown in the tab (IBrowserPage; IPageContent is queried on it).
  virtual HRESULT GetPage(IUnknown** page) = 0;
  // 9: whether the page holds media; 10: the page's "empty" media flag.
  virtual HRESULT HasMedia(BOOL* has_media) = 0;
  virtual HRESULT GetMediaEmptyFlag(BOOL* empty) = 0;
};

// The page object of a tab.
struct IBrowserPage : IUnknown {
  static constexpr IID kIID = MakeGuid("7B0E5C24-4D1A-4F6B-9C3E-2A81F0D6B410");
  // 3: counts the page's images; the page delivers the count to the extension itself.
  virtual HRESULT CountImages(BSTR extension_id) = 0;
  // 4: shows the page's source for the extension; `arguments` is the command's raw text.
  virtual HRESULT ShowSource(BSTR extension_id, BSTR arguments) = 0;
  // 5, 6: saves every image of the page, or the one in the area (left, top, right, bottom)
  // scaled to width by height.
  virtual HRESULT SaveAllImages() = 0;
  virtual HRESULT SaveOneImage(LONG left, LONG top, LONG right, LONG bottom, LONG width,
                               LONG height) = 0;
  // 7: runs `script` in the page.
  virtual HRESULT RunScript(BSTR script) = 0;
  // 8: hands a page-extension call to the page, which answers the extension itself.
  virtual HRESULT PageCall(BSTR command, BSTR extension_id, BSTR arguments) = 0;
  // 9: asks the page for the element at a point; the page answers the extension itself.
  virtual HRESULT GetElementInfoByPoint(BSTR command, BSTR extension_id, BSTR arguments,
                                        LONG request_context) = 0;
  // 10: the page's information text (title, address and the like, as the browser writes it).
  virtual HRESULT GetInfoText(BSTR* text) = 0;
};

// The content operations of a page, queried on its page object.
struct IPageContent : IUnknown {
  static constexpr IID kIID = MakeGuid("CC37D351-5C55-4FBB-8076-C64B63373226");
  // 3: starts a snapshot of the page into the file `target`; `value` is the requester's and
  // passed through. The page reports the finished snapshot later.
  virtual HRESULT StartSnapshot(LONG value, BSTR target) = 0;
  // 4: the JSON text describing the media found in the page (null or empty when none).
  virtual HRESULT GetMediaInfo(BSTR* json_text) = 0;
  // 5: sets `attribute` of the element the page tagged with `custom_id`.
  virtual HRESULT SetAttributeByCustomId(BSTR custom_id, BSTR attribute, BSTR value) = 0;
  // 6: evaluates `code` for the image the page tagged with `custom_id`.
  virtual HRESULT EvaluateScriptForImage(BSTR custom_id, BSTR code) = 0;
  virtual HRESULT ReservedSlot7() = 0;
  virtual HRESULT ReservedSlot8() = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  virtual HRESULT ReservedSlot11() = 0;
  virtual HRESULT ReservedSlot12() = 0;
  virtual HRESULT ReservedSlot13() = 0;
  virtual HRESULT ReservedSlot14() = 0;
  virtual HRESULT ReservedSlot15() = 0;
  virtual HRESULT ReservedSlot16() = 0;
  virtual HRESULT ReservedSlot17() = 0;
  virtual HRESULT ReservedSlot18() = 0;
  virtual HRESULT ReservedSlot19() = 0;
  virtual HRESULT ReservedSlot20() = 0;
  // 21: the menu command host tells the page that an extension menu opened over it.
  virtual HRESULT OnExtensionMenuShown() = 0;
};

struct IBrowserFrameMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("0ED6C5B1-0650-4BEB-B49A-83AD2036499F");
  virtual HRESULT ReservedSlot3() = 0;
  virtual HRESULT ReservedSlot4() = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  // 8: the number of items of `kind`.
  virtual HRESULT GetItemCount(LONG kind, LONG* count) = 0;
  // 9: the frame at `index` in the list of items of `kind` (E_INVALIDARG outside the list).
  virtual HRESULT GetItem(LONG kind, LONG index, IBrowserFrame** frame) = 0;
  virtual HRESULT ReservedSlot10() = 0;
  virtual HRESULT ReservedSlot11() = 0;
  virtual HRESULT ReservedSlot12() = 0;
  // 13: the item with `id` (a tab with kind 3, answering IBrowserTab); S_FALSE and null when
  // there is none.
  virtual HRESULT GetItemById(LONG id, LONG kind, IUnknown** item) = 0;
  // 14: the frame with `frame_id` among the frames of `kind` (3: any); S_FALSE and null when
  // there is none.
  virtual HRESULT GetFrameById(LONG frame_id, LONG kind, IBrowserFrame** frame) = 0;
};

struct ILoginService : IUnknown {
  static constexpr IID kIID = MakeGuid("5B07BACF-0823-4A21-9786-7630D76FF925");
  virtual HRESULT IsLoggedIn(BOOL* logged_in) = 0;   // 3
  virtual HRESULT GetUserId(BSTR* user_id) = 0;      // 4
  virtual HRESULT GetUserName(BSTR* user_name) = 0;  // 5
  // 6: E_FAIL when no user is signed in or the browser holds no cookie.
  virtual HRESULT GetCookie(BSTR* cookie) = 0;
};

// The login dialog, a browser service.
struct ILoginDialog : IUnknown {
  static constexpr IID kIID = MakeGuid("64728497-F256-47B9-97C7-B5CF614EA1ED");
  virtual HRESULT ReservedSlot3() = 0;
  virtual HRESULT ReservedSlot4() = 0;
  // 5: shows the dialog owned by `owner` and returns when it is closed. The module passes
  // (window, 1, 0, 0).
  virtual HRESULT ShowLoginDialog(HANDLE owner, LONG modal, LONG reserved1, LONG reserved2) = 0;
};

}  // namespace Logic
