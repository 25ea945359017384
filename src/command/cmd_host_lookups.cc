#include "command/cmd_host_lookups.h"

#include "command/command_args.h"
#include "command/extension_mgr_port.h"
#include "thread/service_lookup.h"

namespace Logic {

std::u16string TextOf(const CJsonValue* args, std::u16string_view key) {
  std::u16string text;
  if (args) ReadTextMember(*args, key, &text);
  return text;
}

LONG NumberOf(const CJsonValue* args, std::u16string_view key, LONG fallback) {
  if (args) ReadNumberMember(*args, key, &fallback);
  return fallback;
}

ComPtr<IBrowserFrameMgr> FrameMgr() {
  return Thread::GetServiceOrLog<IBrowserFrameMgr>(u"IBrowserFrameMgr");
}

ComPtr<IBrowserTab> TabById(IBrowserFrameMgr* frames, LONG tab_id) {
  ComPtr<IUnknown> item;
  ComPtr<IBrowserTab> tab;
  if (SUCCEEDED(frames->GetItemById(tab_id, kBrowserItemAny, item.ReleaseAndGetAddressOf())) &&
      item) {
    item.As(&tab);
  }
  return tab;
}

LONG ActiveTabOfFrame(IBrowserFrameMgr* frames, LONG frame_id) {
  ComPtr<IBrowserFrame> frame;
  ComPtr<IBrowserTabContainer> tabs;
  LONG tab_id = -1;
  if (frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf()) != S_OK ||
      !frame || frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) != S_OK || !tabs ||
      FAILED(tabs->GetTabId(kActiveTabIndex, &tab_id))) {
    return -1;
  }
  return tab_id;
}

bool FrameIdOfTab(IBrowserFrameMgr* frames, LONG tab_id, LONG* frame_id) {
  ComPtr<IBrowserTab> tab = TabById(frames, tab_id);
  LONG id = -1;
  if (!tab || FAILED(tab->GetFrameId(&id)) || id == -1) return false;
  *frame_id = id;
  return true;
}

LONG FrameFromArgument(const std::u16string& frame_text, LONG tab_id) {
  if (!frame_text.empty()) return DecimalToLong(frame_text);
  LONG frame_id = -1;
  if (tab_id != -1) {
    if (ComPtr<IBrowserFrameMgr> frames = FrameMgr()) FrameIdOfTab(frames.Get(), tab_id, &frame_id);
  }
  return frame_id;
}

ComPtr<IUIExtPtMgr> PointMgr(ExtensionMgrPort& port) {
  ComPtr<IUIExtPtMgr> points;
  if (FAILED(port.GetUIExtPtMgr(points.ReleaseAndGetAddressOf()))) points = nullptr;
  return points;
}

}  // namespace Logic
