#include "permission/api_group_table.h"

#include <iterator>

namespace Logic {
namespace {

// The API names of each group as the browser's script layer spells them; stored lower-cased.
constexpr const char16_t* kGlobalApis[] = {
    u"hcbrowser.global.popupMenu",
    u"hcbrowser.global.saveSubResouce",
    u"hcbrowser.global.deleteFile",
    u"hcbrowser.global.deleteFileEx",
    u"hcbrowser.global.folderDialog",
    u"hcbrowser.global.exchangeBookmarkDialog",
    u"hcbrowser.global.openPage",
    u"hcbrowser.global.addFavoriteDialog",
    u"hcbrowser.global.setValue",
    u"hcbrowser.global.getValue",
    u"hcbrowser.global.notify",
    u"hcbrowser.global.openAppPage",
    u"hcbrowser.global.report",
    u"hcbrowser.global.on",
    u"hcbrowser.global.getUnClosePages",
    u"hcbrowser.global.loginHalcyAccount",
    u"hcbrowser.global.logoutHalcyAccount",
    u"hcbrowser.global.getUserInfo",
    u"hcbrowser.global.getBrowserSkin",
    u"hcbrowser.global.onValueChange.addListener",
    u"hcbrowser.global.onAccontChange.addListener",
    u"hcbrowser.global.onDropFile.addListener",
};
constexpr const char16_t* kEmailverifyApis[] = {
    u"hcbrowser.emailVerify.getEmail",
    u"hcbrowser.emailVerify.setEmail",
    u"hcbrowser.emailVerify.forward",
};
constexpr const char16_t* kCrashApis[] = {
    u"hcbrowser.crash.getCrashInfo",
    u"hcbrowser.crash.removeRecord",
};
constexpr const char16_t* kApplicationApis[] = {
    u"hcbrowser.application.create",
    u"hcbrowser.application.update",
    u"hcbrowser.application.remove",
    u"hcbrowser.application.search",
    u"hcbrowser.application.checkInstalled",
    u"hcbrowser.application.openApp",
    u"hcbrowser.application.closeApp",
    u"hcbrowser.application.alert",
    u"hcbrowser.application.getSyncInfo\t",
    u"hcbrowser.application.onCreated.addListener",
    u"hcbrowser.application.onRemoved.addListener",
    u"hcbrowser.application.onOpened.addListener",
    u"hcbrowser.application.onClosed.addListener",
    u"hcbrowser.application.onSync.addListener",
    u"hcbrowser.application.onFlushApp.addListener",
};
constexpr const char16_t* kInterceptApis[] = {
    u"hcbrowser.intercept.getMsg",
};
constexpr const char16_t* kNavApis[] = {
    u"hcbrowser.nav.getNavInfo",
};
constexpr const char16_t* kXhrApis[] = {
    u"hcbrowser.xhr.send",
};
constexpr const char16_t* kHistoryApis[] = {
    u"hcbrowser.history.addUrl",
    u"hcbrowser.history.deleteAll",
    u"hcbrowser.history.deleteRange",
    u"hcbrowser.history.deleteUrl",
    u"hcbrowser.history.getDomain",
    u"hcbrowser.history.getVisits",
    u"hcbrowser.history.search",
    u"hcbrowser.history.getRecentClosed",
    u"hcbrowser.history.getFrequently\t",
    u"hcbrowser.history.onVisitRemoved.addListener",
    u"hcbrowser.history.onVisited.addListener",
    u"hcbrowser.history.getByTimestamp",
    u"hcbrowser.history.getRecordDays",
};
constexpr const char16_t* kTabpageApis[] = {
    u"hcbrowser.tabpage.getFavorites",
    u"hcbrowser.tabpage.removeFavorite",
    u"hcbrowser.tabpage.removeDefined",
    u"hcbrowser.tabpage.restoreFavorite",
    u"hcbrowser.tabpage.restoreDefined",
    u"hcbrowser.tabpage.enableMyFavorite",
    u"hcbrowser.tabpage.saveFavoritesOrder",
    u"hcbrowser.tabpage.getInitData",
    u"hcbrowser.tabpage.report",
    u"hcbrowser.tabpage.getDefinedFavorites",
    u"hcbrowser.tabpage.getOpenTabs",
    u"hcbrowser.tabpage.saveDefinedOrder",
    u"hcbrowser.tabpage.updateDefinedSite",
    u"hcbrowser.tabpage.onFavoriteRemoved",
    u"hcbrowser.tabpage.onDefinedRemoved",
    u"hcbrowser.tabpage.onDefinedOrderChanged",
    u"hcbrowser.tabpage.onFavoriteOrderChanged",
    u"hcbrowser.tabpage.onFavoriteUpdated",
    u"hcbrowser.tabpage.onDefinedUpdated",
    u"hcbrowser.tabpage.onOpenTypeChanged",
};
constexpr const char16_t* kDownloadsApis[] = {
    u"hcbrowser.downloads.openFile",
    u"hcbrowser.downloads.openFolader",
    u"hcbrowser.downloads.togglePause",
    u"hcbrowser.downloads.reDownload",
    u"hcbrowser.downloads.remove",
    u"hcbrowser.downloads.cancel",
    u"hcbrowser.downloads.copyLink",
    u"hcbrowser.downloads.clearAll",
    u"hcbrowser.downloads.getDownloads",
    u"hcbrowser.downloads.onCreated.addListener",
    u"hcbrowser.downloads.onChanged.addListener",
    u"hcbrowser.downloads.onRemoved.addListener",
};
constexpr const char16_t* kBookmarksApis[] = {
    u"hcbrowser.bookmarks.getTree",
    u"hcbrowser.bookmarks.get",
    u"hcbrowser.bookmarks.getChildren",
    u"hcbrowser.bookmarks.create",
    u"hcbrowser.bookmarks.update",
    u"hcbrowser.bookmarks.search",
    u"hcbrowser.bookmarks.remove",
    u"hcbrowser.bookmarks.move",
    u"hcbrowser.bookmarks.sort",
    u"hcbrowser.bookmarks.onRemoved.addListener",
    u"hcbrowser.bookmarks.onCreated.addListener",
    u"hcbrowser.bookmarks.onChanged.addListener",
    u"hcbrowser.bookmarks.onMoved.addListener",
    u"hcbrowser.bookmarks.onSorted.addListener",
};
constexpr const char16_t* kClipboarddataApis[] = {
    u"hcbrowser.clipboardData.setData",
    u"hcbrowser.clipboardData.getData",
};
constexpr const char16_t* kUtilityApis[] = {
    u"extension.invoke.utility.geturl",
    u"extension.invoke.utility.gettitle",
    u"extension.invoke.utility.getfavicon",
    u"extension.invoke.utility.getwindowstatus",
    u"extension.invoke.utility.getpopstatus",
    u"extension.invoke.utility.getactivepage",
    u"extension.invoke.utility.getallpages",
    u"extension.invoke.utility.getframebytab",
    u"extension.invoke.utility.getimagecount",
    u"extension.invoke.utility.getversion",
    u"extension.invoke.utility.isframefullscreen",
    u"extension.invoke.utility.uninstall",
};
constexpr const char16_t* kUiApis[] = {
    u"extension.invoke.ui.showPageExt",    u"extension.invoke.ui.showHtmlBubble",
    u"extension.invoke.ui.newTabNavigate", u"extension.invoke.ui.tabnavigate",
    u"extension.invoke.ui.popframe",       u"extension.invoke.ui.updateInfo",
    u"extension.invoke.ui.saveallimage",
};
constexpr const char16_t* kLoginApis[] = {
    u"extension.invoke.login.getloginfo",
};
constexpr const char16_t* kPageextensionApis[] = {
    u"extension.invoke.pageextension.call",
};
constexpr const char16_t* kNonpermissionfunctionApis[] = {
    u"extension.invoke.register",         u"extension.invoke.unregister",
    u"extension.response.fe.toLibAsync",  u"extension.xmpp.add.listener",
    u"extension.xmpp.remove.listener",    u"extension.xmpp.sendmessage",
    u"extension.xmpp.sendpresence",       u"extension.xmpp.sendrequest",
    u"extension.cloudservice.register",   u"extension.download.onstart",
    u"extension.download.onpause",        u"extension.download.oncontinue",
    u"extension.download.ondelete",       u"extension.download.onerror",
    u"extension.download.onmessage",      u"extension.download.oncontextchange",
    u"extension.download.onprogress",     u"extension.download.oncomplete",
    u"extension.download.addtask",        u"extension.download.addmultitask",
    u"extension.upload.onstart",          u"extension.upload.onpause",
    u"extension.upload.oncontinue",       u"extension.upload.ondelete",
    u"extension.upload.onerror",          u"extension.upload.onmessage",
    u"extension.upload.oncontextchange",  u"extension.upload.onprogress",
    u"extension.upload.oncomplete",       u"extension.upload.onlistdir",
    u"extension.upload.onlistsettingdir", u"extension.upload.onaddnewfolder",
    u"extension.upload.addtask",          u"extension.urlanalysis.ready",
    u"extension.urlanalysis.request",     u"extension.urlanalysis.reply",
    u"extension.urlanalysis.getextid",    u"extension.invoke.cmd.uploadlog",
};

struct GroupList {
  const char16_t* name;
  const char16_t* const* apis;
  size_t count;
};

// In the order the table adds them.
constexpr GroupList kGroupLists[] = {
    {u"global", kGlobalApis, std::size(kGlobalApis)},
    {u"emailverify", kEmailverifyApis, std::size(kEmailverifyApis)},
    {u"crash", kCrashApis, std::size(kCrashApis)},
    {u"application", kApplicationApis, std::size(kApplicationApis)},
    {u"intercept", kInterceptApis, std::size(kInterceptApis)},
    {u"nav", kNavApis, std::size(kNavApis)},
    {u"xhr", kXhrApis, std::size(kXhrApis)},
    {u"history", kHistoryApis, std::size(kHistoryApis)},
    {u"tabpage", kTabpageApis, std::size(kTabpageApis)},
    {u"downloads", kDownloadsApis, std::size(kDownloadsApis)},
    {u"bookmarks", kBookmarksApis, std::size(kBookmarksApis)},
    {u"clipboarddata", kClipboarddataApis, std::size(kClipboarddataApis)},
    {u"utility", kUtilityApis, std::size(kUtilityApis)},
    {u"ui", kUiApis, std::size(kUiApis)},
    {u"login", kLoginApis, std::size(kLoginApis)},
    {u"pageextension", kPageextensionApis, std::size(kPageextensionApis)},
    {u"nonpermissionfunction", kNonpermissionfunctionApis, std::size(kNonpermissionfunctionApis)},
};

// Built by static construction when the library is loaded, before DllGetClassObject can hand
// out a class object; destroyed when it is unloaded.
const ApiGroupTable g_api_group_table;

}  // namespace

std::u16string LowerCasePermissionText(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

const ApiGroupTable& ApiGroupTable::Get() { return g_api_group_table; }

ApiGroupTable::ApiGroupTable() {
  for (const GroupList& group : kGroupLists) AddGroup(group.name, group.apis, group.count);
}

void ApiGroupTable::AddGroup(std::u16string_view group, const char16_t* const* names,
                             size_t count) {
  for (size_t i = 0; i < count; ++i) {
    auto it = groups_.find(group);
    if (it == groups_.end()) it = groups_.emplace(std::u16string(group), NameSet()).first;
    it->second.insert(LowerCasePermissionText(names[i]));
  }
}

const ApiGroupTable::NameSet* ApiGroupTable::Find(std::u16string_view group) const {
  auto it = groups_.find(group);
  return it == groups_.end() ? nullptr : &it->second;
}

}  // namespace Logic
