#include "command/ext_menu_cmd_host_impl.h"

#include "command/browser_model.h"
#include "command/browser_windows.h"
#include "command/cmd_host_lookups.h"
#include "command/command_args.h"
#include "command/skinned_window.h"
#include "extension/extension_mgr.h"
#include "module/browser_info_services.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/window_rect.h"
#include "thread/service_lookup.h"

namespace Logic {
namespace {

using Host = CExtMenuCmdHostImpl;
using Table = CExtCommonCmdHostImpl::Table;

constexpr LONG kDefaultBubbleWidth = 348;
constexpr LONG kDefaultBubbleHeight = 245;

// The command's arguments as an object; a malformed text reads as an empty object, so every
// member keeps its default.
std::unique_ptr<CJsonValue> ArgumentsOrEmpty(BSTR arguments) {
  std::unique_ptr<CJsonValue> parsed = ParseCommandArguments(arguments);
  return parsed ? std::move(parsed) : std::make_unique<CJsonValue>(CJsonValue::Object{});
}

void CountUserAction(const char16_t* action) {
  if (ComPtr<IStatisticsService> statistics = GetStatisticsService()) {
    statistics->CountUserAction(u"UserAction", action, u"count", 1);
  }
}

// Tells the page shown in the frame's active tab that an extension menu opened over it.
void TellPageOfMenu(LONG frame_id) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  const LONG tab_id = frames ? ActiveTabOfFrame(frames.Get(), frame_id) : -1;
  if (tab_id == -1) return;
  if (ComPtr<IPageContent> content = PageOfTab<IPageContent>(tab_id)) {
    content->OnExtensionMenuShown();
  }
}

}  // namespace

const Host::CommandRow Host::kMenuCommandRows[] = {
    {u"extension.invoke.ui.showmenu", Table::kUI, static_cast<Handler>(&Host::ShowMenu)},
    {u"extension.invoke.ui.showmenububle", Table::kUI, static_cast<Handler>(&Host::ShowMenuBubble)},
    {u"extension.invoke.ui.closemenuwindow", Table::kUI,
     static_cast<Handler>(&Host::CloseMenuWindow)},
    {u"extension.invoke.ui.showmenuwindow", Table::kUI,
     static_cast<Handler>(&Host::ShowMenuWindow)},
};

CExtMenuCmdHostImpl::CExtMenuCmdHostImpl(IExtMenuCmdHostBase* owner)
    : CExtCommonCmdHostImpl(owner, kMenuCommandRows, std::size(kMenuCommandRows)),
      selection_callback_(owner) {}

std::u16string CExtMenuCmdHostImpl::SelectionPayload(LONG menu_id, LONG menu_event_id) {
  return halcy::StringPrintf(
      u"{\t\t\t\t\t\t  \"menuid\":\"%d\",\t\t\t\t\t\t  \"menueventid\":\"%d\"\t\t\t\t\t\t  }",
      menu_id, menu_event_id);
}

HRESULT CExtMenuCmdHostImpl::OnSelectMenu(LONG menu_id, LONG menu_event_id) {
  if (ComPtr<IExtensionMgr> manager = GetExtensionMgr()) {
    halcy::ScopedBstr owner(menu_owner_), command(u"extension.notify.ui.selectmenu"),
        payload(SelectionPayload(menu_id, menu_event_id));
    // The manager delivers on its own thread; whether it got there is not the menu's concern.
    manager->SendToExtensionInternal(owner.Get(), command.Get(), payload.Get());
  }
  return S_OK;
}

HRESULT CExtMenuCmdHostImpl::ShowMenu(BSTR extension_id, BSTR arguments, LONG) {
  const std::u16string id = BstrText(extension_id);
  menu_owner_ = id;  // a later selection goes to whoever opened the latest menu
  std::unique_ptr<CJsonValue> args = ArgumentsOrEmpty(arguments);
  std::u16string window_id, menu_items;
  LONG frame_id = -1, position = 0;
  ReadTextMember(*args, u"windowid", &window_id);
  ReadNumberMember(*args, u"frameid", &frame_id);
  ReadNumberMember(*args, u"pos", &position);
  ReadTextMember(*args, u"menuitem", &menu_items);
  halcy::ScopedBstr extension(id), window_name(window_id);
  HANDLE window = nullptr;
  if (ComPtr<IExtWindowMgr> windows = Thread::GetServiceOrLog<IExtWindowMgr>(u"IExtWindowMgr")) {
    windows->GetWindowHandle(extension.Get(), window_name.Get(), &window);
  }
  if (ComPtr<IExtMenuWindowMgr> menus =
          Thread::GetServiceOrLog<IExtMenuWindowMgr>(u"IExtMenuWindowMgr")) {
    LONG state = 0;
    menus->GetMenuWindowState(extension.Get(), window_name.Get(), &state);
    if (state == 1) return S_OK;  // a menu is already up for this window
  }
  if (!PopUpMenu(id, window_id, menu_items, position, window)) return S_FALSE;
  TellPageOfMenu(frame_id);
  CountUserAction(u"AcceleratorClick");
  return S_OK;
}

bool CExtMenuCmdHostImpl::PopUpMenu(const std::u16string& extension_id,
                                    const std::u16string& window_id,
                                    const std::u16string& menu_items, LONG position,
                                    HANDLE window) {
  ComPtr<IExtPopupMenu> menu;
  if (FAILED(Util::Com::CreateObjectByIID(IExtPopupMenu::kIID, menu.ReleaseAndGetVoidAddress())) ||
      !menu) {
    return false;
  }
  halcy::ScopedBstr extension(extension_id), window_name(window_id), items(menu_items);
  menu->Setup(extension.Get(), window_name.Get(), items.Get());
  menu->SetSelectionCallback(position, selection_callback_);
  // Placed against the window when its rectangle is known (0); otherwise the browser opens
  // the menu where the pointer is (1).
  RECT rect;
  const LONG placement = GetWindowRect(window, &rect) ? 0 : 1;
  menu->Show(rect.left, rect.top, rect.right, rect.bottom, placement);
  return true;
}

HRESULT CExtMenuCmdHostImpl::ShowMenuBubble(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ArgumentsOrEmpty(arguments);
  std::u16string window_id, url;
  LONG id = -1, width = kDefaultBubbleWidth, height = kDefaultBubbleHeight;
  ReadTextMember(*args, u"windowid", &window_id);
  ReadNumberMember(*args, u"id", &id);
  ReadTextMember(*args, u"url", &url);
  ReadNumberMember(*args, u"width", &width);
  ReadNumberMember(*args, u"height", &height);
  if (ComPtr<IExtMenuWindowMgr> menus =
          Thread::GetServiceOrLog<IExtMenuWindowMgr>(u"IExtMenuWindowMgr")) {
    halcy::ScopedBstr window_name(window_id), page(url);
    menus->ShowMenuBubble(extension_id, window_name.Get(), id, page.Get(), width, height);
  }
  return S_OK;
}

HRESULT CExtMenuCmdHostImpl::CloseMenuWindow(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ArgumentsOrEmpty(arguments);
  std::u16string window_id;
  ReadTextMember(*args, u"windowid", &window_id);
  halcy::ScopedBstr window_name(window_id);
  if (ComPtr<IExtMenuWindowMgr> menus =
          Thread::GetServiceOrLog<IExtMenuWindowMgr>(u"IExtMenuWindowMgr")) {
    menus->CloseMenuWindow(extension_id, window_name.Get());
  }
  if (ComPtr<IExtWindowMgr> windows = Thread::GetServiceOrLog<IExtWindowMgr>(u"IExtWindowMgr")) {
    windows->CloseWindow(extension_id, window_name.Get());
  }
  return S_OK;
}

HRESULT CExtMenuCmdHostImpl::ShowMenuWindow(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ArgumentsOrEmpty(arguments);
  std::u16string window_id, xml_file;
  LONG frame_id = -1, x = 0, y = 0;
  ReadTextMember(*args, u"windowid", &window_id);
  ReadTextMember(*args, u"xmlfile", &xml_file);
  ReadNumberMember(*args, u"frame_id", &frame_id);
  ReadNumberMember(*args, u"xpos", &x);
  ReadNumberMember(*args, u"ypos", &y);
  // The window's own failure is the browser's to report; the action is counted either way.
  ShowSkinnedWindow(BstrText(extension_id), window_id, xml_file, frame_id, x, y);
  CountUserAction(u"AcceleratorOpen");
  return S_OK;
}

}  // namespace Logic
