#include "command/extension_notify_mgr.h"

#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "command/pair_object.h"
#include "common/json_escape.h"
#include "common/log.h"
#include "extension/extension_mgr.h"
#include "ipc/ipc_message.h"
#include "module/services.h"
#include "platform/bstr.h"

namespace Logic {

namespace {

// Tells the extension-DLL process that a top-level frame was created.
constexpr uint32_t kMessageTypeFrameCreate = 0x07000007;

// Input BSTRs are read up to their NUL, as the rest of the module reads them; null is "".
const char16_t* Str(BSTR text) { return text ? text : u""; }

// URLs go into the payload as JSON string bodies; everything else is inserted as given.
void AddUrl(CPairObject* pairs, std::u16string_view key, BSTR url) {
  pairs->Add(key, EscapeJsonText(Str(url)));
}

void AddFlag(CPairObject* pairs, std::u16string_view key, LONG flag) {
  pairs->Add(key, flag ? u"1" : u"0");
}

// Hands one event to the extension manager's broadcast (slot 32), which posts it to the
// manager's thread; what the broadcast then does is the manager's business, so its result is
// not looked at.
HRESULT Broadcast(IExtensionMgr* manager, std::u16string_view name, const CPairObject& pairs) {
  halcy::ScopedBstr bs_name(name);
  halcy::ScopedBstr bs_payload(pairs.ToString());
  if (!bs_name.Get() || !bs_payload.Get()) return E_OUTOFMEMORY;
  manager->BroadcastBrowserNotifyMsg(bs_name.Get(), bs_payload.Get());
  return S_OK;
}

// Looks the extension manager up anew and broadcasts the event. Without a manager the event
// is dropped (the lookup has logged why) and `if_no_manager` is the result.
HRESULT BroadcastEvent(std::u16string_view name, const CPairObject& pairs,
                       HRESULT if_no_manager = S_OK) {
  ComPtr<IExtensionMgr> manager = GetExtensionMgr();
  if (!manager) return if_no_manager;
  return Broadcast(manager.Get(), name, pairs);
}

// Broadcasts an event whose pairs are texts of the login service (user ids, names, cookies):
// they are its own texts and go in unescaped.
HRESULT BroadcastTexts(std::u16string_view name,
                       std::initializer_list<std::pair<std::u16string_view, BSTR>> texts) {
  CPairObject pairs;
  for (const auto& [key, text] : texts) pairs.Add(key, Str(text));
  return BroadcastEvent(name, pairs);
}

}  // namespace

HRESULT CExtensionNotifyMgr::Initialize() { return S_OK; }

HRESULT CExtensionNotifyMgr::UnInitialize() { return S_OK; }

HRESULT CExtensionNotifyMgr::NotifyUrlChange(BSTR old_url, BSTR new_url, LONG tab_id) {
  CPairObject pairs;
  AddUrl(&pairs, u"old", old_url);
  AddUrl(&pairs, u"new", new_url);
  pairs.Add(u"tab_id", tab_id);
  return BroadcastEvent(u"extension.notify.utility.urlchange", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyNavigate(BSTR url) {
  CPairObject pairs;
  AddUrl(&pairs, u"url", url);
  return BroadcastEvent(u"extension.notify.utility.navigate", pairs);
}

HRESULT CExtensionNotifyMgr::NotifySwitchTab(LONG old_tab_id, BSTR old_url, LONG new_tab_id,
                                             BSTR new_url, LONG flag) {
  CPairObject pairs;
  pairs.Add(u"old", old_tab_id);
  AddUrl(&pairs, u"old_url", old_url);
  pairs.Add(u"new", new_tab_id);
  AddUrl(&pairs, u"new_url", new_url);
  pairs.Add(u"flag", flag);
  // The one event whose loss the browser is told about.
  return BroadcastEvent(u"extension.notify.utility.switchtab", pairs, E_FAIL);
}

HRESULT CExtensionNotifyMgr::NotifyCloseTab(LONG tab_id, LONG frame_id, BSTR url,
                                            LONG retain_core) {
  CPairObject pairs;
  pairs.Add(u"tab_id", tab_id);
  pairs.Add(u"frame_id", frame_id);
  AddUrl(&pairs, u"url", url);
  AddFlag(&pairs, u"retaincore", retain_core);
  return BroadcastEvent(u"extension.notify.utility.closetab", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyAddTab(LONG tab_id, LONG frame_id) {
  CPairObject pairs;
  pairs.Add(u"tab_id", tab_id);
  pairs.Add(u"frame_id", frame_id);
  return BroadcastEvent(u"extension.notify.utility.addtab", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyDocumentComplete(LONG tab_id, BSTR url) {
  CPairObject pairs;
  pairs.Add(u"tab_id", tab_id);
  AddUrl(&pairs, u"url", url);
  return BroadcastEvent(u"extension.notify.utility.documentcomplete", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyRefresh(LONG tab_id, BSTR url) {
  CPairObject pairs;
  pairs.Add(u"tab_id", tab_id);
  AddUrl(&pairs, u"url", url);
  return BroadcastEvent(u"extension.notify.utility.refresh", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyLogin(BSTR user_id, BSTR user, BSTR info, LONG first_login) {
  Log(kLogTrace, u"oldlog;",
      u"CExtensionNotifyMgr::NotifyLogin bsUserid=%s bsUser=%s bsInfo=%s bFirstLogin=%d",
      Str(user_id), Str(user), Str(info), first_login);
  // The login service's own texts go in unescaped, as in BroadcastTexts.
  CPairObject pairs;
  pairs.Add(u"userid", Str(user_id));
  pairs.Add(u"user", Str(user));
  pairs.Add(u"cookie", Str(info));
  AddFlag(&pairs, u"firstlogin", first_login);
  return BroadcastEvent(u"extension.notify.login.login", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyLogout(BSTR user_id, BSTR user) {
  Log(kLogTrace, u"oldlog;", u"CExtensionNotifyMgr::NotifyLogout bsUserid=%s bsUser=%s",
      Str(user_id), Str(user));
  return BroadcastTexts(u"extension.notify.login.logout", {{u"userid", user_id}, {u"user", user}});
}

HRESULT CExtensionNotifyMgr::NotifySwitchUser(BSTR old_user, BSTR new_user) {
  Log(kLogTrace, u"oldlog;", u"CExtensionNotifyMgr::NotifySiwtchUser bsOldUser=%s bsNewUser=%s",
      Str(old_user), Str(new_user));
  return BroadcastTexts(u"extension.notify.login.switch",
                        {{u"old_user", old_user}, {u"new_user", new_user}});
}

HRESULT CExtensionNotifyMgr::NotifyFrameFullScreen(LONG frame_id, LONG status) {
  CPairObject pairs;
  pairs.Add(u"frame_id", frame_id);
  pairs.Add(u"status", status);
  return BroadcastEvent(u"extension.notify.utility.isframefullscreen", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyFrameCreate(LONG frame_id) {
  ComPtr<IExtensionMgr> manager = GetExtensionMgr();
  if (!manager) return S_OK;
  // The DLL process hears of the frame first, the background pages second, and only then do
  // the extensions register their accelerators, which the new frame must carry.
  // Slot 35 owns the message from here on, whatever it answers.
  if (auto* message = new (std::nothrow) IPC::CMessage(false, kMessageTypeFrameCreate)) {
    manager->SendToDllHost(message);
  }
  CPairObject pairs;
  pairs.Add(u"frame_id", frame_id);
  HRESULT hr = Broadcast(manager.Get(), u"extension.notify.ui.framecreate", pairs);
  manager->RegisterAllAccelerators();
  return hr;
}

HRESULT CExtensionNotifyMgr::NotifyFrameClose(LONG frame_id) {
  CPairObject pairs;
  pairs.Add(u"frame_id", frame_id);
  return BroadcastEvent(u"extension.notify.ui.frameclose", pairs);
}

HRESULT CExtensionNotifyMgr::NotifyAccelerator(BSTR extension_id, BSTR arguments) {
  ComPtr<IExtensionMgr> manager = GetExtensionMgr();
  if (!manager) return S_OK;
  halcy::ScopedBstr bs_id(Str(extension_id));
  halcy::ScopedBstr bs_name(u"extension.notify.utility.accelerator");
  halcy::ScopedBstr bs_arguments(Str(arguments));
  if (!bs_id.Get() || !bs_name.Get() || !bs_arguments.Get()) return E_OUTOFMEMORY;
  // Only the extension that owns the accelerator hears of it; the internal send carries
  // request context 0, since nobody waits for an answer.
  manager->SendToExtensionInternal(bs_id.Get(), bs_name.Get(), bs_arguments.Get());
  return S_OK;
}

HRESULT CExtensionNotifyMgr::NotifySwitchCore(LONG tab_id) {
  CPairObject pairs;
  pairs.Add(u"tab_id", tab_id);
  return BroadcastEvent(u"extension.notify.utility.switchcore", pairs);
}

}  // namespace Logic
