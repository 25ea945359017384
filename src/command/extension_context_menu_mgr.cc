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

void AddMember(CJsonValue::Object* object, const char16_t* key, const std::u16string& value) {
  (*object)[key] = std::make_unique<CJsonValue>(value);
}

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
  CJsonValue::Array items;
  std::lock_guard<std::mutex> hold(store_lock_);
  for (const auto& [extid, menus] : store_) {
    for (const auto& [menuid, list] : menus) {
      for (const Item& item : list) {
        CJsonValue::Object object;
        AddMember(&object, u"extid", item.extid);
        AddMember(&object, u"menuid", item.menuid);
        AddMember(&object, u"condition", item.condition);
        AddMember(&object, u"text", item.text);
        AddMember(&object, u"contexttype", item.contexttype);
        AddMember(&object, u"iconpath", item.iconpath);
        items.push_back(std::make_unique<CJsonValue>(std::move(object)));
      }
    }
  }
  return ToJsonString(CJsonValue(std::move(items)));
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
