// Lookups the common command host's handlers share: argument texts out of BSTRs, the browser's
// frame service, tabs and frames by id, and the UI extension-point manager through the
// manager's port.
//
// Call on the thread the handler runs on; nothing is kept between calls.
#pragma once

#include <string>
#include <string_view>

#include "command/browser_model.h"
#include "extension/ui_ext_pt_mgr.h"
#include "json/json_value.h"
#include "platform/bstr.h"

namespace Logic {

class ExtensionMgrPort;

using halcy::BstrText;

// Member `key` of `args` (which may be null) as text, "" when absent; as a number, `fallback`
// when absent.
std::u16string TextOf(const CJsonValue* args, std::u16string_view key);
LONG NumberOf(const CJsonValue* args, std::u16string_view key, LONG fallback);

// The frame service, or null after the lookup's log line.
ComPtr<IBrowserFrameMgr> FrameMgr();
// The tab with `tab_id` (kind 3), or null.
ComPtr<IBrowserTab> TabById(IBrowserFrameMgr* frames, LONG tab_id);
// The id of the active tab of frame `frame_id` (any kind); -1 when the frame is unknown or has
// no active tab.
LONG ActiveTabOfFrame(IBrowserFrameMgr* frames, LONG frame_id);
// The id of the frame holding tab `tab_id`; false when the tab or its frame is unknown.
bool FrameIdOfTab(IBrowserFrameMgr* frames, LONG tab_id, LONG* frame_id);
// The frame named by a "frame" argument: its number when given, else the frame of `tab_id`
// when that is not -1, else -1.
LONG FrameFromArgument(const std::u16string& frame_text, LONG tab_id);
// The page object of tab `tab_id` as interface I, or null.
template <class I>
ComPtr<I> PageOfTab(LONG tab_id) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  ComPtr<IBrowserTab> tab = frames ? TabById(frames.Get(), tab_id) : nullptr;
  ComPtr<IUnknown> page;
  ComPtr<I> out;
  if (tab && SUCCEEDED(tab->GetPage(page.ReleaseAndGetAddressOf())) && page) page.As(&out);
  return out;
}
// The UI extension-point manager the port hands out, or null.
ComPtr<IUIExtPtMgr> PointMgr(ExtensionMgrPort& port);

}  // namespace Logic
