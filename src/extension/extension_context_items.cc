#include "extension/extension_context_items.h"

#include <memory>
#include <vector>

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

// One item's texts as the context menu manager takes them.
struct ContextItem {
  std::u16string contexttype, text, menu_id, condition, iconpath;
};

// The object elements of a "contextmenu" array; an item's menu id is its "menuid" or else its
// position in the array.
std::vector<ContextItem> ItemsOf(const CJsonValue& items) {
  std::vector<ContextItem> found;
  size_t position = 0;
  for (const std::unique_ptr<CJsonValue>& item : items.GetArray()) {
    if (item && item->IsObject()) {
      ContextItem& entry = found.emplace_back();
      if (!ReadTextMember(*item, u"menuid", &entry.menu_id)) {
        entry.menu_id = halcy::StringPrintf(u"%d", static_cast<int>(position));
      }
      entry.iconpath = MemberOrEmpty(*item, u"iconpath");
      if (!entry.iconpath.empty() && !IsContainedIconPath(entry.iconpath)) entry.iconpath.clear();
      entry.contexttype = MemberOrEmpty(*item, u"contexttype");
      entry.text = MemberOrEmpty(*item, u"text");
      entry.condition = MemberOrEmpty(*item, u"condition");
    }
    ++position;
  }
  return found;
}

// The declared items of `agent`. The module's own agent lends its parsed manifest; any other
// agent's array is read back from the JSON text it gives.
std::vector<ContextItem> DeclaredItems(IExtensionAgent* agent) {
  std::vector<ContextItem> items;
  if (auto* own = dynamic_cast<CCoExtensionAgent*>(agent)) {
    own->record().ReadContextMenu([&](const CJsonValue* array) {
      if (array) items = ItemsOf(*array);
    });
    return items;
  }
  const std::u16string declared = AgentText(agent, &IExtensionAgent::GetContextMenu);
  if (declared.empty()) return items;
  std::unique_ptr<CJsonValue> array = ParseJson(declared);
  if (array && array->IsArray()) items = ItemsOf(*array);
  return items;
}

void AddItem(IExtensionContextMenuMgr* menus, const std::u16string& extension_id,
             const ContextItem& item) {
  halcy::ScopedBstr extid(extension_id), contexttype(item.contexttype), text(item.text),
      menuid(item.menu_id), condition(item.condition), iconpath(item.iconpath);
  menus->AddItem(extid.Get(), contexttype.Get(), text.Get(), menuid.Get(), condition.Get(),
                 iconpath.Get());
}

}  // namespace

void AddContextMenuItems(IExtensionAgent* agent, IExtensionContextMenuMgr* manager) {
  if (!IsAgentRunning(agent)) return;
  const std::vector<ContextItem> items = DeclaredItems(agent);
  if (items.empty()) return;
  ComPtr<IExtensionContextMenuMgr> menus(manager);
  if (!menus) menus = GetExtensionContextMenuMgr();
  if (!menus) return;
  const std::u16string id = AgentText(agent, &IExtensionAgent::GetId);
  for (const ContextItem& item : items) AddItem(menus.Get(), id, item);
}

void RegisterContextMenuItems(IExtensionAgent* agent, bool replace) {
  if (replace && agent) RemoveContextMenuItems(AgentText(agent, &IExtensionAgent::GetId));
  if (!IsAgentRunning(agent)) return;
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
