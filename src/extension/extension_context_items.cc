#include "extension/extension_context_items.h"

#include <memory>

#include "command/command_args.h"
#include "command/extension_context_menu_mgr.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/strings.h"

namespace Logic {
namespace {

// A manifest icon path the browser may load: relative, without a step out of the directory.
bool IsContainedIconPath(const std::u16string& path) {
  if (path.empty() || path[0] == u'/' || path[0] == u'\\' ||
      path.find(u':') != std::u16string::npos) {
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"/\\", start);
    if (end == std::u16string::npos) end = path.size();
    if (path.compare(start, end - start, u"..") == 0) return false;
    start = end + 1;
  }
  return true;
}

std::u16string MemberOrEmpty(const CJsonValue& item, std::u16string_view key) {
  std::u16string text;
  ReadTextMember(item, key, &text);
  return text;
}

void AddItem(IExtensionContextMenuMgr* menus, const std::u16string& extension_id,
             const CJsonValue& item, size_t position) {
  std::u16string menu_id;
  if (!ReadTextMember(item, u"menuid", &menu_id)) {
    menu_id = halcy::StringPrintf(u"%d", static_cast<int>(position));
  }
  std::u16string icon = MemberOrEmpty(item, u"iconpath");
  if (!icon.empty() && !IsContainedIconPath(icon)) icon.clear();
  halcy::ScopedBstr extid(extension_id), contexttype(MemberOrEmpty(item, u"contexttype")),
      text(MemberOrEmpty(item, u"text")), menuid(menu_id),
      condition(MemberOrEmpty(item, u"condition")), iconpath(icon);
  menus->AddItem(extid.Get(), contexttype.Get(), text.Get(), menuid.Get(), condition.Get(),
                 iconpath.Get());
}

bool IsRunning(IExtensionAgent* agent) {
  LONG state = 0;
  return agent && SUCCEEDED(agent->GetState(&state)) && (state == 1 || state == 2);
}

}  // namespace

void AddContextMenuItems(IExtensionAgent* agent, IExtensionContextMenuMgr* manager) {
  if (!IsRunning(agent)) return;
  const std::u16string declared = AgentText(agent, &IExtensionAgent::GetContextMenu);
  if (declared.empty()) return;
  std::unique_ptr<CJsonValue> items = ParseJson(declared);
  if (!items || !items->IsArray()) return;
  ComPtr<IExtensionContextMenuMgr> menus(manager);
  if (!menus) menus = GetExtensionContextMenuMgr();
  if (!menus) return;
  const std::u16string id = AgentText(agent, &IExtensionAgent::GetId);
  size_t position = 0;
  for (const std::unique_ptr<CJsonValue>& item : items->GetArray()) {
    if (item && item->IsObject()) AddItem(menus.Get(), id, *item, position);
    ++position;
  }
}

void RegisterContextMenuItems(IExtensionAgent* agent, bool replace) {
  if (replace && agent) RemoveContextMenuItems(AgentText(agent, &IExtensionAgent::GetId));
  if (!IsRunning(agent)) return;
  AddContextMenuItems(agent);
  RefreshContextMenus();
}

void RemoveContextMenuItems(const std::u16string& extension_id) {
  if (ComPtr<IExtensionContextMenuMgr> menus = GetExtensionContextMenuMgr()) {
    halcy::ScopedBstr id(extension_id);
    menus->RemoveExtensionItems(id.Get());
  }
}

void RefreshContextMenus() {
  if (ComPtr<IExtensionContextMenuMgr> menus = GetExtensionContextMenuMgr()) menus->Refresh();
}

}  // namespace Logic
