// An extension's manifest context-menu items in the context menu manager over its life:
// entered at start-up and install for running extensions, out on disable and delete, back on
// enable; and the menu command host registered after the common command host.
#include "extension/extension_context_items.h"

#include <gtest/gtest.h>

#include <string>

#include "command/co_ext_common_cmd_host.h"
#include "command/co_ext_menu_cmd_host.h"
#include "command/extension_context_menu_mgr.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_test_util.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/strings.h"

namespace extension_testing {
namespace {

constexpr char16_t kItems[] =
    u"\"contextmenu\":[{\"text\":\"Look up\",\"condition\":\"sel\",\"contexttype\":\"2\","
    u"\"iconpath\":\"img/look.png\"},{\"text\":\"\",\"menuid\":\"x\"},"
    u"{\"text\":\"Share\",\"menuid\":\"s\",\"iconpath\":\"../outside.png\"},\"not an item\"]";

// What kItems gives for `id`: the first item by its position, the second not stored (no
// text), the third without its icon (it climbs out of the directory), the string skipped.
std::u16string ItemsJson(const std::u16string& id) {
  return u"{\"condition\":\"sel\",\"contexttype\":\"2\",\"extid\":\"" + id +
         u"\",\"iconpath\":\"img\\/look.png\",\"menuid\":\"0\",\"text\":\"Look up\"},"
         u"{\"condition\":\"\",\"contexttype\":\"\",\"extid\":\"" +
         id + u"\",\"iconpath\":\"\",\"menuid\":\"s\",\"text\":\"Share\"}";
}

std::u16string ManifestWithItems(const std::u16string& id) {
  return u"{\"name\":\"" + id + u"\",\"setuponline\":\"1\"," + kItems + u"}";
}

// An agent of another maker: forwards every slot to one of the module's agents, so that the
// module cannot read its record directly and must go through the interface.
class ForeignAgent : public halcy::ComObjectRoot, public Logic::IExtensionAgent {
 public:
  HALCY_BEGIN_INTERFACES(ForeignAgent)
  HALCY_INTERFACE(ForeignAgent, Logic::IExtensionAgent)
  HALCY_END_INTERFACES()
  explicit ForeignAgent(ComPtr<Logic::CCoExtensionAgent> inner) : in_(std::move(inner)) {}

#define FORWARD(name, params, args) \
  HRESULT name params override { return in_->name args; }
  FORWARD(OnAcceleratorPressed, (), ())
  FORWARD(SetPosition, (LONG a), (a))
  FORWARD(SetId, (BSTR a), (a))
  FORWARD(SetFlags, (LONG a), (a))
  FORWARD(SetState, (LONG a), (a))
  FORWARD(SetDirectory, (BSTR a), (a))
  FORWARD(SetManifest, (BSTR a), (a))
  FORWARD(GetPosition, (LONG * a), (a))
  FORWARD(GetId, (BSTR * a), (a))
  FORWARD(GetFlags, (LONG * a), (a))
  FORWARD(GetState, (LONG * a), (a))
  FORWARD(GetDirectory, (BSTR * a), (a))
  FORWARD(GetManifest, (BSTR * a), (a))
  FORWARD(GetLibraryPath, (BSTR * a), (a))
  FORWARD(GetBackgroundPage, (BSTR * a), (a))
  FORWARD(BuildUIDescription, (Logic::IUIExtDescription * *a, BSTR b), (a, b))
  FORWARD(GetSummary, (BSTR a, BOOL b, BSTR* c), (a, b, c))
  FORWARD(GetOptionsPage, (BSTR * a), (a))
  FORWARD(GetVersion, (BSTR * a), (a))
  FORWARD(GetUpdateUrl, (BSTR * a), (a))
  FORWARD(GetName, (BSTR * a), (a))
  FORWARD(GetLowestBrowser, (BSTR * a), (a))
  FORWARD(GetInstallCommand, (BSTR * a), (a))
  FORWARD(GetUninstallCommand, (BSTR * a), (a))
  FORWARD(GetSetupCommand, (BSTR * a, BSTR* b), (a, b))
  FORWARD(GetRegPathProgram, (BSTR * a, BSTR* b, BSTR* c), (a, b, c))
  FORWARD(GetDownloadUrl, (BSTR * a), (a))
  FORWARD(GetSetupOnline, (LONG * a), (a))
  FORWARD(GetBaseUrl, (BSTR * a), (a))
  FORWARD(GetPermissions, (IStringList * *a), (a))
  FORWARD(GetAccelerator, (WORD * a), (a))
  FORWARD(GetPluginOrder, (LONG * a), (a))
  FORWARD(GetContextMenu, (BSTR * a), (a))
  FORWARD(RegisterAccelerator, (), ())
#undef FORWARD

 private:
  const ComPtr<Logic::CCoExtensionAgent> in_;
};

// The menu JSON after the items of one agent of `manifest` (in `state`) are added; `foreign`
// puts the module's agent behind ForeignAgent.
std::u16string MenuAfterAdding(const std::u16string& manifest, LONG state, bool foreign) {
  ComPtr<Logic::CCoExtensionAgent> own = halcy::MakeComObject<Logic::CCoExtensionAgent>();
  halcy::ScopedBstr id(u"solo"), text(manifest);
  own->SetId(id.Get());
  own->SetState(state);
  own->SetManifest(text.Get());
  ComPtr<Logic::IExtensionAgent> agent(own.Get());
  if (foreign) agent = halcy::MakeComObject<ForeignAgent>(own);
  auto menus = halcy::MakeComObject<Logic::CCoExtensionContextMenuMgr>();
  Logic::AddContextMenuItems(agent.Get(), menus.Get());
  halcy::ScopedBstr json;
  EXPECT_EQ(S_OK, menus->GetMenuJson(json.Receive()));
  return std::u16string(json.View());
}

class ContextItemsTest : public ExtensionMgrFixture {
 protected:
  ContextItemsTest() {
    host_.ReplaceService(Logic::IExtensionContextMenuMgr::kIID,
                         static_cast<Logic::IExtensionContextMenuMgr*>(menus_.Get()));
  }
  std::u16string MenuJson() {
    halcy::ScopedBstr json;
    EXPECT_EQ(S_OK, menus_->GetMenuJson(json.Receive()));
    return std::u16string(json.View());
  }
  // Runs `call` on the manager with `id` and waits until its task is done.
  void Call(HRESULT (Logic::IExtensionMgr::*call)(BSTR), const std::u16string& id) {
    halcy::ScopedBstr text(id);
    ASSERT_EQ(S_OK, (mgr_.Get()->*call)(text.Get()));
    ASSERT_TRUE(host_.WaitIdle());
  }

  ComPtr<Logic::CCoExtensionContextMenuMgr> menus_ =
      halcy::MakeComObject<Logic::CCoExtensionContextMenuMgr>();
};

TEST_F(ContextItemsTest, RunningExtensionsHaveTheirItemsFromStartUpToDisableAndAgainAfterEnable) {
  std::vector<StoreRecord> records = {Record(u"alpha", 1), Record(u"beta", 0)};
  for (StoreRecord& record : records) record.manifest = ManifestWithItems(record.id);
  Start(records);
  EXPECT_EQ(u"[" + ItemsJson(u"alpha") + u"]", MenuJson());
  Call(&Logic::IExtensionMgr::DisableExtension, u"alpha");
  EXPECT_EQ(u"[]", MenuJson());
  Call(&Logic::IExtensionMgr::EnableExtension, u"beta");
  Call(&Logic::IExtensionMgr::EnableExtension, u"alpha");
  EXPECT_EQ(u"[" + ItemsJson(u"alpha") + u"," + ItemsJson(u"beta") + u"]", MenuJson());
  Call(&Logic::IExtensionMgr::DeleteExtension, u"beta");
  EXPECT_EQ(u"[" + ItemsJson(u"alpha") + u"]", MenuJson());
}

TEST_F(ContextItemsTest, AnInstallEntersTheItemsAndAReinstallReplacesThem) {
  Start({});
  const std::u16string dir =
      ExtensionDir("gamma", halcy::Utf16ToUtf8(ManifestWithItems(u"gamma")).c_str());
  ASSERT_EQ(S_OK, Install(u"gamma", dir));
  EXPECT_EQ(u"[" + ItemsJson(u"gamma") + u"]", MenuJson());
  ASSERT_EQ(S_OK, Install(u"gamma", dir));
  EXPECT_EQ(u"[" + ItemsJson(u"gamma") + u"]", MenuJson()) << "not entered twice";
}

TEST_F(ContextItemsTest, TheMenuCommandHostIsRegisteredAfterTheCommonOne) {
  auto creatable = [this](REFIID iid, auto* tag) {
    using Class = std::remove_pointer_t<decltype(tag)>;
    halcy::CreatableClass entry;
    entry.create = [](REFIID wanted, void** out) {
      return halcy::CreateComInstance<Class>(nullptr, wanted, out);
    };
    registrations_.PublishClass(iid, std::move(entry));
  };
  creatable(Logic::kIID_IExtMenuCmdHost, static_cast<Logic::CCoExtMenuCmdHost*>(nullptr));
  creatable(Logic::kIID_IExtCommonCmdHost, static_cast<Logic::CCoExtCommonCmdHost*>(nullptr));
  Start({});
  const std::vector<ComPtr<Logic::IExtCmdHost>> hosts = impl()->CommandHosts();
  ASSERT_EQ(2u, hosts.size());
  ComPtr<IUnknown> common, menu;
  EXPECT_EQ(S_OK, hosts[0]->QueryInterface(Logic::kIID_IExtCommonCmdHost,
                                           common.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(S_OK,
            hosts[1]->QueryInterface(Logic::kIID_IExtMenuCmdHost, menu.ReleaseAndGetVoidAddress()));
}

TEST(ContextItemsReadTest, TheModulesAgentAndAForeignOneGiveTheSameItems) {
  const struct {
    std::u16string manifest;
    LONG state;
    std::u16string menu;
  } cases[] = {
      {ManifestWithItems(u"solo"), 1, u"[" + ItemsJson(u"solo") + u"]"},
      {ManifestWithItems(u"solo"), 2, u"[" + ItemsJson(u"solo") + u"]"},
      {ManifestWithItems(u"solo"), 0, u"[]"},             // not running
      {u"{\"contextmenu\":{\"text\":\"x\"}}", 1, u"[]"},  // not an array
      {u"{\"contextmenu\":[]}", 1, u"[]"},
      {u"{\"name\":\"none\"}", 1, u"[]"},
      {u"{\"contextmenu\":[{\"text\":\"T\",\"menuid\":7}]}", 1,  // a number is read as text
       u"[{\"condition\":\"\",\"contexttype\":\"\",\"extid\":\"solo\",\"iconpath\":\"\","
       u"\"menuid\":\"7\",\"text\":\"T\"}]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.menu, MenuAfterAdding(c.manifest, c.state, false))
        << halcy::Utf16ToUtf8(c.manifest);
    EXPECT_EQ(c.menu, MenuAfterAdding(c.manifest, c.state, true)) << halcy::Utf16ToUtf8(c.manifest);
  }
}

}  // namespace
}  // namespace extension_testing
