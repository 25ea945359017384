#include "command/extension_context_menu_mgr.h"

#include <atomic>
#include <memory>
#include <utility>

#include "command/cmd_host_lookups.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/threads.h"

namespace Logic {
namespace {

// Listener ids are unique across every manager object of the module.
std::atomic<ULONG> g_next_listener_id{0};

// The members of an item's JSON object, in key order (the order the JSON writer puts them in).
template <class Item>
constexpr std::pair<const char16_t*, std::u16string Item::*> kItemMembers[] = {
    {u"condition", &Item::condition}, {u"contexttype", &Item::contexttype},
    {u"extid", &Item::extid},         {u"iconpath", &Item::iconpath},
    {u"menuid", &Item::menuid},       {u"text", &Item::text},
};

}  // namespace

HRESULT CCoExtensionContextMenuMgr::NextListenerId(ULONG* listener_id) {
  if (!listener_id) return E_INVALIDARG;
  *listener_id = g_next_listener_id.fetch_add(1) + 1;
  return S_OK;
}

HRESULT CCoExtensionContextMenuMgr::AddListener(ULONG listener_id, DWORD thread_id,
                                                IExtContextMenuListener* listener,
                                                LONG register_too) {
  const HRESULT hr = listeners_.Add(static_cast<LONG>(listener_id), thread_id, listener);
  if (SUCCEEDED(hr) && register_too) {
    RegisterWithUserService(kIID_IExtContextMenuListener, static_cast<LONG>(listener_id), listener,
                            thread_id);
  }
  return hr;
}

HRESULT CCoExtensionContextMenuMgr::AddListenerOnCallingThread(IUnknown* for_user_service,
                                                               IExtContextMenuListener* listener) {
  if (!listener) return E_INVALIDARG;
  RegisterWithUserServiceOnCallingThread(kIID_IExtContextMenuListener, for_user_service);
  return listeners_.Add(0, GetCurrentThreadId(), listener);
}

HRESULT CCoExtensionContextMenuMgr::AddItem(BSTR extid, BSTR contexttype, BSTR text, BSTR menuid,
                                            BSTR condition, BSTR iconpath) {
  Item item{BstrText(extid),  BstrText(contexttype), BstrText(text),
            BstrText(menuid), BstrText(condition),   BstrText(iconpath)};
  if (item.extid.empty() || item.text.empty() || item.menuid.empty()) return S_OK;
  std::lock_guard<std::mutex> hold(store_lock_);
  std::vector<Item>& list = store_[item.extid][item.menuid];
  list.push_back(std::move(item));
  return S_OK;
}

HRESULT CCoExtensionContextMenuMgr::RemoveExtensionItems(BSTR extid) {
  {
    std::lock_guard<std::mutex> hold(store_lock_);
    store_.erase(BstrText(extid));
  }
  return Refresh();
}

std::u16string CCoExtensionContextMenuMgr::BuildMenuJson() {
  // Written straight out, in the form ToJsonString gives an array of such objects (no spaces,
  // members in key order, strings escaped by AppendJsonEscaped): a tree of every item's six
  // strings, made only to be written and freed, costs more than the text.
  std::u16string json = u"[";
  std::lock_guard<std::mutex> hold(store_lock_);
  for (const auto& [extid, menus] : store_) {
    for (const auto& [menuid, list] : menus) {
      for (const Item& item : list) {
        if (json.size() > 1) json += u',';
        char16_t separator = u'{';
        for (const auto& [key, member] : kItemMembers<Item>) {
          json += separator;
          separator = u',';
          json += u'"';
          json += key;
          json += u"\":\"";
          AppendJsonEscaped(item.*member, &json);
          json += u'"';
        }
        json += u'}';
      }
    }
  }
  json += u']';
  return json;
}

HRESULT CCoExtensionContextMenuMgr::GetMenuJson(BSTR* menu_json) {
  if (!menu_json) return E_INVALIDARG;
  const std::u16string json = BuildMenuJson();
  *menu_json = SysAllocStringLen(json.data(), static_cast<UINT>(json.size()));
  return *menu_json ? S_OK : E_OUTOFMEMORY;
}

HRESULT CCoExtensionContextMenuMgr::Refresh() {
  const std::u16string json = BuildMenuJson();
  // Each call gets its own copy of the text; a posted one owns it until it runs.
  listeners_.CallEach(0, [json](IExtContextMenuListener* listener) {
    halcy::ScopedBstr text(json);
    return listener->OnContextMenuChanged(text.Get());
  });
  return S_OK;
}

}  // namespace Logic
