// IUIExtPtMgr: the browser's UI extension-point manager, which draws the buttons and panels
// extensions place in the toolbar, address bar, application bar, smart bar and side bar. The
// extension manager hands it out (IExtensionMgr slot 13); the manager registers each
// extension's description (IUIExtDescription) with it, and the command hosts call its bubble,
// navigation and side-bar operations. Its clicks come back through the IUIExtListener the
// manager hands it (slot 6).
//
// Slot numbers the browser fixes (3, 4, 5, 12, 16 to 19, 21 to 24) keep their places; the
// slots in between are reserved and answer E_NOTIMPL. Strings are BSTRs, numbers 32-bit.
//
// The service is the browser's and free-threaded; it calls its listener on the UI thread.
#pragma once

#include "extension/ui_ext_points.h"
#include "platform/com.h"

namespace Logic {

// The UI description of one extension (class {0B4EE23B-44A7-41C0-9183-DD8D2F422960}, created
// by this IID): the extension id, then one entry per extension point.
struct IUIExtDescription : IUnknown {
  static constexpr IID kIID = MakeGuid("0B4EE23B-44A7-41C0-9183-DD8D2F422960");
  virtual HRESULT SetExtensionId(BSTR extension_id) = 0;         // 3
  virtual HRESULT AddPoint(BSTR point_id, BSTR point_json) = 0;  // 4
  virtual HRESULT GetExtensionId(BSTR* extension_id) = 0;        // 5
  virtual HRESULT GetPointCount(LONG* count) = 0;                // 6
  // 7: the entry at `index` (E_INVALIDARG outside 0..count-1).
  virtual HRESULT GetPoint(LONG index, BSTR* point_id, BSTR* point_json) = 0;
};

// The listener through which the UI extension-point manager reports clicks, on the UI thread.
struct IUIExtListener : IUnknown {
  static constexpr IID kIID = MakeGuid("986386DA-17C3-478A-A3B4-00018815EB93");
  // 3: a click on an entry of an extension's drop-down menu.
  virtual HRESULT OnMenuClick(BSTR extension_id, BSTR point_id, LONG frame_id, LONG menu_id) = 0;
  // 4: a click on an extension's button.
  virtual HRESULT OnButtonClick(BSTR extension_id, BSTR point_id, BSTR url, LONG tab_id,
                                LONG frame_id, LONG left_button, BSTR button_name) = 0;
  // 5: the browser shows or hides the extension's guide for the page `url`.
  virtual HRESULT OnGuideShow(BSTR extension_id, LONG value, BSTR url, LONG show) = 0;
  // 6: always answers 1.
  virtual HRESULT QueryEnabled(LONG* answer) = 0;
};

struct IUIExtPtMgr : IUnknown {
  static constexpr IID kIID = MakeGuid("B31526E9-EE5F-4D5D-BBA4-3E1249B13E25");
  // 3: shows `text` in a bubble on the extension point `point_id`. The manager's notices pass
  // (point, 0, text, -1, 0, 0): no extension, every frame, the bubble's own size.
  virtual HRESULT ShowPointBubble(BSTR point_id, LONG extension, BSTR text, LONG frame_id,
                                  LONG width, LONG height) = 0;
  // 4: registers an extension's description (IUIExtDescription); `flag` is the caller's.
  virtual HRESULT RegisterDescription(IUnknown* description, LONG flag) = 0;
  // 5: flag 0 removes the extension's points, 1 refreshes them.
  virtual HRESULT RemoveOrRefresh(BSTR extension_id, LONG flag) = 0;
  // 6: the listener for clicks (null withdraws it).
  virtual HRESULT SetListener(IUIExtListener* listener) = 0;
  // 7: the ids of the extensions with a registration, separated by "\n".
  virtual HRESULT GetRegisteredExtensions(BSTR* ids) = 0;
  virtual HRESULT ReservedSlot8() = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  virtual HRESULT ReservedSlot11() = 0;
  // 12: passes `command` to the extension's UI on the point.
  virtual HRESULT PostCommand(BSTR point_id, BSTR extension_id, LONG value1, LONG value2,
                              BSTR command) = 0;
  virtual HRESULT ReservedSlot13() = 0;
  virtual HRESULT ReservedSlot14() = 0;
  virtual HRESULT ReservedSlot15() = 0;
  // 16: shows a page extension's button.
  virtual HRESULT ShowPageExtension(BSTR extension_id, LONG frame_id, BSTR url, BSTR icon_group,
                                    LONG tab_id, BSTR point_id, LONG weight, BSTR button_name,
                                    LONG press_die) = 0;
  // 17
  virtual HRESULT ShowBubble(BSTR point_id, BSTR extension_id, LONG frame_id, BSTR html_page,
                             LONG show_time, LONG forced_show_time, LONG width, LONG height,
                             LONG tab_id) = 0;
  // 18
  virtual HRESULT NewTabNavigate(BSTR extension_id, LONG frame_id, BSTR url) = 0;
  // 19
  virtual HRESULT TabNavigate(BSTR extension_id, LONG tab_id, BSTR url, LONG activate) = 0;
  virtual HRESULT ReservedSlot20() = 0;
  // 21
  virtual HRESULT ShowSideBubble(BSTR side_bar_id, BSTR extension_id, BSTR arguments,
                                 LONG request_context, LONG frame_id, LONG active_tab_id) = 0;
  // 22
  virtual HRESULT UpdateInfo(BSTR extension_id, BSTR info_name, BSTR info, BSTR point_id,
                             LONG frame_id, LONG tab_id) = 0;
  // 23
  virtual HRESULT ShowGuide(BSTR point_id, BSTR guide_text, BSTR extension_id, LONG tab_id,
                            LONG frame_id) = 0;
  // 24
  virtual HRESULT ShowExtension(BSTR side_bar_id, BSTR extension_id, LONG tab_id, LONG frame_id,
                                LONG show) = 0;
};

}  // namespace Logic
