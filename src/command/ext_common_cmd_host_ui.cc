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
#include "command/frame_lookup.h"
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
  const LONG tab_id = frames ? ActiveTabOfFrame(frames.Get(), frame_id) : -1;
  if (tab_id == -1) return u"";
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

// What each handler here starts from: the manager's port, the UI extension-point manager it
// hands out, the caller's id and the parsed arguments (null when malformed). False when the
// manager or its UI extension-point manager is missing.
struct PointCommand {
  // `parse` false: the browser reads the argument text itself.
  PointCommand(std::shared_ptr<ExtensionMgrPort> port, BSTR extension_id, BSTR arguments,
               bool parse = true)
      : manager(std::move(port)), id(BstrText(extension_id)), raw(BstrText(arguments)) {
    if (manager) points = PointMgr(*manager);
    if (points && parse) args = Arguments(arguments);
  }
  explicit operator bool() const { return points != nullptr; }
  std::u16string Text(std::u16string_view key) const { return TextOf(args.get(), key); }
  LONG Number(std::u16string_view key, LONG fallback) const {
    return NumberOf(args.get(), key, fallback);
  }

  std::shared_ptr<ExtensionMgrPort> manager;
  ComPtr<IUIExtPtMgr> points;
  std::unique_ptr<CJsonValue> args;
  const std::u16string id;
  const std::u16string raw;
};

bool HasSideBarMgr() { return Thread::GetServiceOrLog<ISideBarMgr>(u"ISideBarMgr") != nullptr; }

}  // namespace

HRESULT Host::ShowHtmlBubble(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  const LONG tab_id = c.Number(u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(c.Text(u"frame"), tab_id);
  const char16_t* point = PointOfKeyword(
      c.Text(u"showPos"), {kAddressBarPointId, kAppBarPointId, kToolbarPointId, kSideBarPointId},
      nullptr);
  const std::u16string url = c.Text(u"url");
  // A bubble meant for one page is not shown over another.
  if (point == kAddressBarPointId && !url.empty() &&
      halcy::AsciiToLower(ActiveTabUrl(frame_id)) != halcy::AsciiToLower(url)) {
    return S_FALSE;
  }
  ScopedBstr point_bstr, extension(c.id);
  point_bstr.Reset(SysAllocString(point));
  ScopedBstr page(ReplaceVersionPlaceholders(*c.manager, c.id, c.Text(u"htmlpage")));
  c.points->ShowBubble(point_bstr.Get(), extension.Get(), frame_id, page.Get(),
                       c.Number(u"showtime", -1), c.Number(u"forceshowtime", -1),
                       c.Number(u"width", 0), c.Number(u"height", 0), tab_id);
  Log(kLogDetail, u"Extension;",
      u" Show SeedSideBar Bubblue: extsionid: %s, params: %s, frameid:%d", c.id.c_str(),
      c.raw.c_str(), frame_id);
  return S_OK;
}

HRESULT Host::ShowBubble2(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return S_FALSE;
  if (!c.args) return S_OK;
  const char16_t* point =
      PointOfKeyword(c.Text(u"showPos"), {kAddressBarPointId, kAppBarPointId}, kToolbarPointId);
  const std::u16string frame_text = c.Text(u"frame");
  LONG frame_id = -1;
  if (!frame_text.empty()) {
    frame_id = DecimalToLong(frame_text);
  } else if (HasSideBarMgr()) {
    if (ComPtr<IBrowserFrame> frame = CurrentFrame()) frame->GetFrameId(&frame_id);
  }
  ScopedBstr point_bstr(point), extension(c.id);
  ScopedBstr page(ReplaceVersionPlaceholders(*c.manager, c.id, c.Text(u"htmlpage")));
  c.points->ShowBubble(point_bstr.Get(), extension.Get(), frame_id, page.Get(),
                       c.Number(u"showtime", -1), -1, c.Number(u"width", 0), c.Number(u"height", 0),
                       -1);
  return S_OK;
}

HRESULT Host::ShowSideBubble(BSTR extension_id, BSTR arguments, LONG request_context) {
  PointCommand c(port(), extension_id, arguments, false);
  if (!c) return S_FALSE;
  ComPtr<IBrowserFrame> frame = CurrentFrame();
  if (!frame) return S_FALSE;
  LONG frame_id = -1;
  LONG active_tab = -1;
  ComPtr<IBrowserTabContainer> tabs;
  frame->GetFrameId(&frame_id);
  if (frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()) == S_OK && tabs) {
    tabs->GetTabId(kActiveTabIndex, &active_tab);
  }
  ScopedBstr side_bar(kSideBarPointId), extension(c.id);
  // The browser reads the argument text itself.
  c.points->ShowSideBubble(side_bar.Get(), extension.Get(), arguments, request_context, frame_id,
                           active_tab);
  return S_OK;
}

HRESULT Host::ShowGuide(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  const LONG tab_id = c.Number(u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(u"", tab_id);
  const char16_t* point =
      PointOfKeyword(c.Text(u"showPos"), {kSmartBarPointId, kAddressBarPointId}, kToolbarPointId);
  ScopedBstr point_bstr(point), text(c.Text(u"guidetext")), extension(c.id);
  c.points->ShowGuide(point_bstr.Get(), text.Get(), extension.Get(), tab_id, frame_id);
  return S_OK;
}

HRESULT Host::ShowExt(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return S_FALSE;
  if (!c.args) return S_OK;  // malformed: nothing done
  const LONG tab_id = c.Number(u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(c.Text(u"frame"), tab_id);
  const LONG show = c.Number(u"showflag", 1) != 0 ? 1 : 0;
  ScopedBstr side_bar(kSideBarPointId), extension(c.id);
  c.points->ShowExtension(side_bar.Get(), extension.Get(), tab_id, frame_id, show);
  Log(kLogDetail, u"Extension;", u" Show SeedSideBar: extsionid: %s, params: %s, frameid:%d",
      c.id.c_str(), c.raw.c_str(), frame_id);
  return S_OK;
}

HRESULT Host::UpdateInfo(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  const LONG tab_id = c.Number(u"tab_id", -1);
  // A "frame" given, even empty, is taken as a number; only an absent one comes from the tab.
  const CJsonValue* frame = c.args ? FindMember(*c.args, u"frame") : nullptr;
  const LONG frame_id = frame ? DecimalToLong(MemberText(*frame)) : FrameFromArgument(u"", tab_id);
  const char16_t* point = PointOfKeyword(
      c.Text(u"showPos"),
      {kAddressBarPointId, kAppBarPointId, kToolbarPointId, kSmartBarPointId, kSideBarPointId},
      nullptr);
  ScopedBstr extension(c.id), name(c.Text(u"infoname")), info(c.Text(u"info")), point_bstr;
  point_bstr.Reset(SysAllocString(point));
  c.points->UpdateInfo(extension.Get(), name.Get(), info.Get(), point_bstr.Get(), frame_id, tab_id);
  Log(kLogDetail, u"Extension;", u" SeedSideBar UpdateInfo: extsionid: %s, params: %s, frameid: %d",
      c.id.c_str(), c.raw.c_str(), frame_id);
  return S_OK;
}

HRESULT Host::SetTitle(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  ScopedBstr extension(c.id), name(u"caption"), title(c.Text(u"title")), toolbar(kToolbarPointId);
  // The toolbar button is the same in every frame and tab.
  c.points->UpdateInfo(extension.Get(), name.Get(), title.Get(), toolbar.Get(), -1, -1);
  return S_OK;
}

HRESULT Host::ShowPageExt(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  const LONG tab_id = c.Number(u"tab_id", -1);
  const LONG frame_id = FrameFromArgument(c.Text(u"frame"), tab_id);
  const CJsonValue* group = c.args ? FindMember(*c.args, u"icongroup") : nullptr;
  std::u16string icon_group = group && group->IsObject() ? MemberText(*group) : u"";
  if (!icon_group.empty())
    icon_group = AbsoluteIconGroup(icon_group, c.manager->ExtensionDirectory(c.id));
  const char16_t* point =
      PointOfKeyword(c.Text(u"showPos"), {kSmartBarPointId, kSideBarPointId}, kAddressBarPointId);
  ScopedBstr extension(c.id), url(c.Text(u"url")), icons(icon_group), point_bstr(point),
      button(c.Text(u"btnname"));
  c.points->ShowPageExtension(extension.Get(), frame_id, url.Get(), icons.Get(), tab_id,
                              point_bstr.Get(), c.Number(u"weight", 0), button.Get(),
                              c.Number(u"pressdie", 0) != 0 ? 1 : 0);
  return S_OK;
}

HRESULT Host::NewTabNavigate(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return c.manager ? E_FAIL : S_FALSE;
  std::u16string url = ReplaceVersionPlaceholders(*c.manager, c.id, c.Text(u"url"));
  url = AppendChannelCode(ResolveLocation(*c.manager, c.id, url));
  ScopedBstr extension(c.id), url_bstr(url);
  c.points->NewTabNavigate(extension.Get(), c.Number(u"frame", -1), url_bstr.Get());
  return S_OK;
}

HRESULT Host::NewTabAndNavigate(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  // Taken as given: no placeholders, no extension-relative paths.
  ScopedBstr extension(c.id), url(c.Text(u"url"));
  c.points->NewTabNavigate(extension.Get(), c.Number(u"frame", -1), url.Get());
  return S_OK;
}

HRESULT Host::TabNavigate(BSTR extension_id, BSTR arguments, LONG) {
  PointCommand c(port(), extension_id, arguments);
  if (!c) return E_FAIL;
  if (!c.args) return S_OK;  // malformed: nothing done
  std::u16string url = ReplaceVersionPlaceholders(*c.manager, c.id, c.Text(u"url"));
  ScopedBstr extension(c.id), url_bstr(ResolveLocation(*c.manager, c.id, url));
  c.points->TabNavigate(extension.Get(), c.Number(u"tab_id", -1), url_bstr.Get(),
                        c.Number(u"active", 0));
  return S_OK;
}

}  // namespace Logic
