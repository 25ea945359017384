// The scenario player of `plexore-host run --scenario FILE`: plays JSON lines, one object each
// with an "op", against the browser model and the running extension manager, while the
// receivers of scenario_receivers.h print what is delivered.
//
//   {"op":"frame","id":1}                       top-level frame
//   {"op":"tab","frame":1,"id":11,"url":"...","title":"..."}
//   {"op":"navigate","tab":11,"url":"..."}  {"op":"activate","tab":12}  {"op":"close","tab":11}
//   {"op":"fullscreen","frame":1,"on":true}
//   {"op":"login","userid":"...","user":"...","cookie":"...","first":true}
//   {"op":"logout"}  {"op":"switchuser","old":"...","new":"..."}
//   {"op":"bp","ext":"ID","command":"NAME","args":ARGS,"context":N}   IExtensionMgr slot 38
//   {"op":"fe","ext":"ID","fecmd":VALUE,"n1":N,"s":"...","n2":N,"n3":N}  slot 24
//   {"op":"event","name":"...","payload":"..."}                         slot 21
//   {"op":"guide","id":"ID","url":"URL"}       the install guide's InstallByExId
//   {"op":"click","ext":"ID","point":"toolbarui","url":"...","tab":N,"frame":N,"left":true,
//    "button":"..."}                           a button click (IUIExtListener slot 4)
//   {"op":"menuclick","ext":"ID","point":"toolbarui","frame":N,"menu":N}   a menu click (slot 3)
//   {"op":"key","keys":"Ctrl+Shift+Y"}         the extension that registered the accelerator
//                                               hears of it (keys nobody took do nothing)
//   {"op":"selectmenu","menu":N,"event":N}     the popup menu shown last is picked: its
//                                               selection callback gets (menu, event)
//   {"op":"contextmenu"}                        prints the current context-menu JSON as
//                                               {"to":"contextmenu","json":"..."}
//   {"op":"wait"}                               until every thread and the extension process
//                                               are idle and no HTTP request, download or
//                                               program is outstanding (at most 60 s)
// ARGS is a JSON value sent as its text, or a string sent as the raw argument text; VALUE is
// sent as its JSON text. Before an "fe" command the front end registers its sink for the
// extension under the key "s" with the values (n1, n2) on the UI thread, as the front end does
// before it sends, so that the extension's answer comes back to it. Browser-model ops run on
// the UI thread, and so do clicks and key presses. "point" is a manifest key ("toolbarui",
// "addressui", "appbarui", "smartbarui", "sidebarui") or a point identifier. Blank lines are
// skipped. After the last line the player waits until every thread is idle. From the start, a
// context-menu listener on the UI thread prints each refresh of the context menus as a
// {"to":"contextmenu",...} line.
//
// Runs on the host's main thread; the manager must have finished start-up.
#pragma once

#include <istream>

namespace Logic {
struct IExtensionMgr;
}

namespace host {

class CHostServices;

// 0 when every line was played; 2 after an unknown op, a malformed line or an op the model
// refuses (unknown frame or tab), with "plexore-host: scenario line N: ..." on standard error.
int PlayScenario(CHostServices* services, Logic::IExtensionMgr* mgr, std::istream& in);

}  // namespace host
