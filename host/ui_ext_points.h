// The browser's UI extension-point manager (extension/ui_ext_pt_mgr.h) and the UI description
// class it receives, as the browser stand-in keeps them: registrations by extension and point,
// the click listener, and one {"to":"ui",...} line (host/ui_call_log.h) per call the module
// makes, named as in the interface header.
//
//   auto log = std::make_shared<host::CUiCallLog>(host::CUiCallLog::StdoutWriter());
//   auto points = halcy::MakeComObject<host::CUIExtPtMgr>(log);
//   ... register points as IUIExtPtMgr and CUIExtDescription::Create for IUIExtDescription ...
//   points->Points(u"translatebar");  // what the toolbar would draw
//
// Free-threaded: state under one lock, never held while the listener or the log is called.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "extension/ui_ext_pt_mgr.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"

namespace host {

// One extension's description: its id and its (point identifier, JSON text) entries in order.
class CUIExtDescription : public halcy::ComObjectRoot, public Logic::IUIExtDescription {
 public:
  HALCY_BEGIN_INTERFACES(CUIExtDescription)
  HALCY_INTERFACE(CUIExtDescription, Logic::IUIExtDescription)
  HALCY_END_INTERFACES()

  // For the object factory's creatable-class table.
  static HRESULT Create(REFIID iid, void** out);

  HRESULT SetExtensionId(BSTR extension_id) override;
  HRESULT AddPoint(BSTR point_id, BSTR point_json) override;
  HRESULT GetExtensionId(BSTR* extension_id) override;
  HRESULT GetPointCount(LONG* count) override;
  HRESULT GetPoint(LONG index, BSTR* point_id, BSTR* point_json) override;

 private:
  std::mutex lock_;
  std::u16string extension_id_;
  std::vector<std::pair<std::u16string, std::u16string>> points_;
};

class CUIExtPtMgr : public halcy::ComObjectRoot, public Logic::IUIExtPtMgr {
 public:
  HALCY_BEGIN_INTERFACES(CUIExtPtMgr)
  HALCY_INTERFACE(CUIExtPtMgr, Logic::IUIExtPtMgr)
  HALCY_END_INTERFACES()

  explicit CUIExtPtMgr(std::shared_ptr<CUiCallLog> log) : log_(std::move(log)) {}

  // --- Observation ---
  // The registered points of an extension: point identifier -> JSON text.
  std::map<std::u16string, std::u16string> Points(const std::u16string& extension_id) const;
  std::vector<std::u16string> RegisteredExtensions() const;
  ComPtr<Logic::IUIExtListener> listener() const;

  // --- What the user does (the browser calls these on its UI thread) ---
  // The point identifier behind `point`: a manifest key ("toolbarui", ...) or an identifier
  // itself; "" for anything else.
  static std::u16string PointIdentifier(std::u16string_view point);
  // A click on the extension's button / on entry `menu_id` of its menu: the listener's slot 4
  // / 3. E_FAIL when no listener is set, else the listener's answer.
  HRESULT Click(const std::u16string& extension_id, const std::u16string& point_id,
                const std::u16string& url, LONG tab_id, LONG frame_id, bool left_button,
                const std::u16string& button_name);
  HRESULT MenuClick(const std::u16string& extension_id, const std::u16string& point_id,
                    LONG frame_id, LONG menu_id);

  // --- IUIExtPtMgr ---
  HRESULT ShowPointBubble(BSTR point_id, LONG extension, BSTR text, LONG frame_id, LONG width,
                          LONG height) override;
  HRESULT RegisterDescription(IUnknown* description, LONG flag) override;
  HRESULT RemoveOrRefresh(BSTR extension_id, LONG flag) override;
  HRESULT SetListener(Logic::IUIExtListener* listener) override;
  HRESULT GetRegisteredExtensions(BSTR* ids) override;
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT ReservedSlot11() override { return E_NOTIMPL; }
  HRESULT PostCommand(BSTR point_id, BSTR extension_id, LONG value1, LONG value2,
                      BSTR command) override;
  HRESULT ReservedSlot13() override { return E_NOTIMPL; }
  HRESULT ReservedSlot14() override { return E_NOTIMPL; }
  HRESULT ReservedSlot15() override { return E_NOTIMPL; }
  HRESULT ShowPageExtension(BSTR extension_id, LONG frame_id, BSTR url, BSTR icon_group,
                            LONG tab_id, BSTR point_id, LONG weight, BSTR button_name,
                            LONG press_die) override;
  HRESULT ShowBubble(BSTR point_id, BSTR extension_id, LONG frame_id, BSTR html_page,
                     LONG show_time, LONG forced_show_time, LONG width, LONG height,
                     LONG tab_id) override;
  HRESULT NewTabNavigate(BSTR extension_id, LONG frame_id, BSTR url) override;
  HRESULT TabNavigate(BSTR extension_id, LONG tab_id, BSTR url, LONG activate) override;
  HRESULT ReservedSlot20() override { return E_NOTIMPL; }
  HRESULT ShowSideBubble(BSTR side_bar_id, BSTR extension_id, BSTR arguments, LONG request_context,
                         LONG frame_id, LONG active_tab_id) override;
  HRESULT UpdateInfo(BSTR extension_id, BSTR info_name, BSTR info, BSTR point_id, LONG frame_id,
                     LONG tab_id) override;
  HRESULT ShowGuide(BSTR point_id, BSTR guide_text, BSTR extension_id, LONG tab_id,
                    LONG frame_id) override;
  HRESULT ShowExtension(BSTR side_bar_id, BSTR extension_id, LONG tab_id, LONG frame_id,
                        LONG show) override;

 private:
  const std::shared_ptr<CUiCallLog> log_;
  mutable std::mutex lock_;
  // extension id -> (point identifier -> JSON text)
  std::map<std::u16string, std::map<std::u16string, std::u16string>> registrations_;
  ComPtr<Logic::IUIExtListener> listener_;
};

}  // namespace host
