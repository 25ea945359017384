// An extension's context-menu items, as its manifest's "contextmenu" array declares them, put
// into and taken out of the context menu manager (IExtensionContextMenuMgr, looked up for each
// use). Only extensions in state 1 or 2 have items. Each item gives "text", "condition",
// "contexttype" and "iconpath"; its menu id is its "menuid" when it has one, else its position
// in the array. An icon path that is absolute or climbs out of the extension's directory is
// dropped (the item stays, without icon).
//
//   AddContextMenuItems(agent);      // no listener hears of it yet
//   RefreshContextMenus();           // now every listener gets the new menu JSON
//   RemoveContextMenuItems(u"ext");  // the manager refreshes by itself
//
// Called on the extension-manager thread; the manager is free-threaded, so any thread works.
#pragma once

#include <string>

namespace Logic {

struct IExtensionAgent;
struct IExtensionContextMenuMgr;

// Adds the items of `agent` (nothing unless its state is 1 or 2); no refresh. `menus`, when
// given, is the manager to use (a caller adding many extensions looks it up once); otherwise it
// is looked up.
void AddContextMenuItems(IExtensionAgent* agent, IExtensionContextMenuMgr* menus = nullptr);
// Puts the items of `agent` in (first taking out what it had when `replace`), then refreshes.
void RegisterContextMenuItems(IExtensionAgent* agent, bool replace);
// Takes every item of the extension out; the manager refreshes its listeners.
void RemoveContextMenuItems(const std::u16string& extension_id);
void RefreshContextMenus();

}  // namespace Logic
