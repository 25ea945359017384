// The common command host's handlers for what extensions show at the browser's UI extension
// points (HTML bubbles, side-bar bubbles, guide tips, side-bar and toolbar state, page-level
// buttons) and for tab navigation. Each reads its JSON arguments and calls one operation of
// the UI extension-point manager that the extension manager hands out; none replies.
#include <memory>
#include <string>

#include "command/browser_model.h"
#include "command/browser_popups.h"
#include "command/cmd_host_lookups.h"
#include "command/command_args.h"
#include "command/ext_common_cmd_host_impl.h"
#include "command/extension_mgr_port.h"
#include "command/ui_command_support.h"
#include "common/log.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "thread/frame_lookup.h"
#include "thread/service_lookup.h"

namespace Logic {
namespace {

using Host = CExtCommonCmdHostImpl;
using halcy::ScopedBstr;

// The arguments, or null after recording the malformed-argument message.
std::unique_ptr<CJsonValue> Arguments(BSTR arguments) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) Log(kLogDetail, u"Extension;", u"%s", kMalformedArgumentsMessage);
  return args;
}

// The URL of the active tab of frame `frame_id`; "" when there is none.
std::u16string ActiveTabUrl(LONG frame_id) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  ComPtr<IBrowserFrame> frame;
  ComPtr<IBrowserTabContainer> tabs;
  LONG tab_id = -1;
  if (!frames ||
      frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf()) != S_OK ||
      !frame || frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) != S_OK || !tabs ||
      FAILED(tabs->GetTabId(kActiveTabIndex, &tab_id))) {
    return u"";
  }
  ComPtr<IBrowserTab> tab = TabById(frames.Get(), tab_id);
  ScopedBstr url;
  if (!tab || FAILED(tab->GetUrl(url.Receive()))) return u"";
  return std::u16string(url.View());
}

// The frame of the calling thread's visible top-level window (kind 0), or null.
ComPtr<IBrowserFrame> CurrentFrame() {
  ComPtr<IUnknown> found;
  ComPtr<IBrowserFrame> frame;
  if (Thread::FindFrameOfCurrentThread(0, found.ReleaseAndGetAddressOf(), true) == S_OK) {
    found.As(&frame);
  }
  return frame;
}

bool HasSideBarMgr() { return Thread::GetServiceOrLog<ISideBarMgr>(u"ISideBarMgr") != nullptr; }

}  // namespace

HRESULT Host::ShowHtmlBubble(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  const std::u16string id = BstrText(extension_id);
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  const CJsonValue* a = args.get();
  const LONG tab_id = NumberOf(a, u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(TextOf(a, u"frame"), tab_id);
  const char16_t* point = PointOfKeyword(
      TextOf(a, u"showPos"), {kAddressBarPointId, kAppBarPointId, kToolbarPointId, kSideBarPointId},
      nullptr);
  const std::u16string url = TextOf(a, u"url");
  // A bubble meant for one page is not shown over another.
  if (point == kAddressBarPointId && !url.empty() &&
      halcy::AsciiToLower(ActiveTabUrl(frame_id)) != halcy::AsciiToLower(url)) {
    return S_FALSE;
  }
  ScopedBstr point_bstr, extension(id);
  point_bstr.Reset(SysAllocString(point));
  ScopedBstr page(ReplaceVersionPlaceholders(*manager, id, TextOf(a, u"htmlpage")));
  points->ShowBubble(point_bstr.Get(), extension.Get(), frame_id, page.Get(),
                     NumberOf(a, u"showtime", -1), NumberOf(a, u"forceshowtime", -1),
                     NumberOf(a, u"width", 0), NumberOf(a, u"height", 0), tab_id);
  Log(kLogDetail, u"Extension;",
      u" Show SeedSideBar Bubblue: extsionid: %s, params: %s, frameid:%d", id.c_str(),
      BstrText(arguments).c_str(), frame_id);
  return S_OK;
}

HRESULT Host::ShowBubble2(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return S_FALSE;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  if (!args) return S_OK;
  const std::u16string id = BstrText(extension_id);
  const char16_t* point = PointOfKeyword(TextOf(args.get(), u"showPos"),
                                         {kAddressBarPointId, kAppBarPointId}, kToolbarPointId);
  const std::u16string frame_text = TextOf(args.get(), u"frame");
  LONG frame_id = -1;
  if (!frame_text.empty()) {
    frame_id = DecimalToLong(frame_text);
  } else if (HasSideBarMgr()) {
    if (ComPtr<IBrowserFrame> frame = CurrentFrame()) frame->GetFrameId(&frame_id);
  }
  ScopedBstr point_bstr(point), extension(id);
  ScopedBstr page(ReplaceVersionPlaceholders(*manager, id, TextOf(args.get(), u"htmlpage")));
  points->ShowBubble(point_bstr.Get(), extension.Get(), frame_id, page.Get(),
                     NumberOf(args.get(), u"showtime", -1), -1, NumberOf(args.get(), u"width", 0),
                     NumberOf(args.get(), u"height", 0), -1);
  return S_OK;
}

HRESULT Host::ShowSideBubble(BSTR extension_id, BSTR arguments, LONG request_context) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return S_FALSE;
  ComPtr<IBrowserFrame> frame = CurrentFrame();
  if (!frame) return S_FALSE;
  LONG frame_id = -1;
  LONG active_tab = -1;
  ComPtr<IBrowserTabContainer> tabs;
  frame->GetFrameId(&frame_id);
  if (frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) == S_OK && tabs) {
    tabs->GetTabId(kActiveTabIndex, &active_tab);
  }
  ScopedBstr side_bar(kSideBarPointId), extension(BstrText(extension_id));
  // The browser reads the argument text itself.
  points->ShowSideBubble(side_bar.Get(), extension.Get(), arguments, request_context, frame_id,
                         active_tab);
  return S_OK;
}

HRESULT Host::ShowGuide(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  const LONG tab_id = NumberOf(args.get(), u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(u"", tab_id);
  const char16_t* point = PointOfKeyword(TextOf(args.get(), u"showPos"),
                                         {kSmartBarPointId, kAddressBarPointId}, kToolbarPointId);
  ScopedBstr point_bstr(point), text(TextOf(args.get(), u"guidetext")),
      extension(BstrText(extension_id));
  points->ShowGuide(point_bstr.Get(), text.Get(), extension.Get(), tab_id, frame_id);
  return S_OK;
}

HRESULT Host::ShowExt(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return S_FALSE;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  if (!args) return S_OK;  // malformed: nothing done
  const LONG tab_id = NumberOf(args.get(), u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(TextOf(args.get(), u"frame"), tab_id);
  const LONG show = NumberOf(args.get(), u"showflag", 1) != 0 ? 1 : 0;
  const std::u16string id = BstrText(extension_id);
  ScopedBstr side_bar(kSideBarPointId), extension(id);
  points->ShowExtension(side_bar.Get(), extension.Get(), tab_id, frame_id, show);
  Log(kLogDetail, u"Extension;", u" Show SeedSideBar: extsionid: %s, params: %s, frameid:%d",
      id.c_str(), BstrText(arguments).c_str(), frame_id);
  return S_OK;
}

HRESULT Host::UpdateInfo(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  const CJsonValue* a = args.get();
  const LONG tab_id = NumberOf(a, u"tab_id", -1);
  // A "frame" given, even empty, is taken as a number; only an absent one comes from the tab.
  const CJsonValue* frame = a ? FindMember(*a, u"frame") : nullptr;
  const LONG frame_id = frame ? DecimalToLong(MemberText(*frame)) : FrameFromArgument(u"", tab_id);
  const char16_t* point = PointOfKeyword(
      TextOf(a, u"showPos"),
      {kAddressBarPointId, kAppBarPointId, kToolbarPointId, kSmartBarPointId, kSideBarPointId},
      nullptr);
  const std::u16string id = BstrText(extension_id);
  ScopedBstr extension(id), name(TextOf(a, u"infoname")), info(TextOf(a, u"info")), point_bstr;
  point_bstr.Reset(SysAllocString(point));
  points->UpdateInfo(extension.Get(), name.Get(), info.Get(), point_bstr.Get(), frame_id, tab_id);
  Log(kLogDetail, u"Extension;", u" SeedSideBar UpdateInfo: extsionid: %s, params: %s, frameid: %d",
      id.c_str(), BstrText(arguments).c_str(), frame_id);
  return S_OK;
}

HRESULT Host::SetTitle(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  ScopedBstr extension(BstrText(extension_id)), name(u"caption"),
      title(TextOf(args.get(), u"title")), toolbar(kToolbarPointId);
  // The toolbar button is the same in every frame and tab.
  points->UpdateInfo(extension.Get(), name.Get(), title.Get(), toolbar.Get(), -1, -1);
  return S_OK;
}

HRESULT Host::ShowPageExt(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  const CJsonValue* a = args.get();
  const std::u16string id = BstrText(extension_id);
  const LONG tab_id = NumberOf(a, u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(TextOf(a, u"frame"), tab_id);
  const CJsonValue* group = a ? FindMember(*a, u"icongroup") : nullptr;
  std::u16string icon_group = group && group->IsObject() ? MemberText(*group) : u"";
  if (!icon_group.empty())
    icon_group = AbsoluteIconGroup(icon_group, manager->ExtensionDirectory(id));
  const char16_t* point = PointOfKeyword(TextOf(a, u"showPos"), {kSmartBarPointId, kSideBarPointId},
                                         kAddressBarPointId);
  ScopedBstr extension(id), url(TextOf(a, u"url")), icons(icon_group), point_bstr(point),
      button(TextOf(a, u"btnname"));
  points->ShowPageExtension(extension.Get(), frame_id, url.Get(), icons.Get(), tab_id,
                            point_bstr.Get(), NumberOf(a, u"weight", 0), button.Get(),
                            NumberOf(a, u"pressdie", 0) != 0 ? 1 : 0);
  return S_OK;
}

HRESULT Host::NewTabNavigate(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  if (!manager) return S_FALSE;
  ComPtr<IUIExtPtMgr> points = PointMgr(*manager);
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  const std::u16string id = BstrText(extension_id);
  std::u16string url = ReplaceVersionPlaceholders(*manager, id, TextOf(args.get(), u"url"));
  url = AppendChannelCode(ResolveLocation(*manager, id, url));
  ScopedBstr extension(id), url_bstr(url);
  points->NewTabNavigate(extension.Get(), NumberOf(args.get(), u"frame", -1), url_bstr.Get());
  return S_OK;
}

HRESULT Host::NewTabAndNavigate(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  // Taken as given: no placeholders, no extension-relative paths.
  ScopedBstr extension(BstrText(extension_id)), url(TextOf(args.get(), u"url"));
  points->NewTabNavigate(extension.Get(), NumberOf(args.get(), u"frame", -1), url.Get());
  return S_OK;
}

HRESULT Host::TabNavigate(BSTR extension_id, BSTR arguments, LONG) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  ComPtr<IUIExtPtMgr> points = manager ? PointMgr(*manager) : nullptr;
  if (!points) return E_FAIL;
  std::unique_ptr<CJsonValue> args = Arguments(arguments);
  if (!args) return S_OK;  // malformed: nothing done
  const std::u16string id = BstrText(extension_id);
  std::u16string url = ReplaceVersionPlaceholders(*manager, id, TextOf(args.get(), u"url"));
  ScopedBstr extension(id), url_bstr(ResolveLocation(*manager, id, url));
  points->TabNavigate(extension.Get(), NumberOf(args.get(), u"tab_id", -1), url_bstr.Get(),
                      NumberOf(args.get(), u"active", 0));
  return S_OK;
}

}  // namespace Logic
