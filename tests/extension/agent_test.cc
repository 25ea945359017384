#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "extension/extension_agent.h"
#include "extension/extension_test_util.h"
#include "extension/ui_ext_description.h"
#include "json/json_reader.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/registry.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using Logic::IExtensionAgent;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

constexpr int kAgentClassIndex = 2;  // CCoExtensionAgent in the module's class table

ComPtr<IExtensionAgent> NewAgent() {
  ComPtr<IExtensionAgent> agent;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kAgentClassIndex, nullptr, IExtensionAgent::kIID,
                                             agent.ReleaseAndGetVoidAddress()));
  return agent;
}

std::u16string Text(BSTR bstr) { return bstr ? std::u16string(bstr, SysStringLen(bstr)) : u""; }

ComPtr<IExtensionAgent> AgentWith(const std::u16string& manifest) {
  ComPtr<IExtensionAgent> agent = NewAgent();
  ScopedBstr text(manifest);
  EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
  return agent;
}

// --- Identity ---

TEST(ExtensionAgentTest, AgentAndItsBaseAnswerAtTheSamePointer) {
  ComPtr<IExtensionAgent> agent = NewAgent();
  ASSERT_TRUE(agent);
  void* base = nullptr;
  ASSERT_EQ(S_OK, agent->QueryInterface(Logic::kIID_IExtensionAgentBase, &base));
  EXPECT_EQ(static_cast<void*>(agent.Get()), base);
  static_cast<IUnknown*>(base)->Release();
  ComPtr<IProvideClassInfo> info;
  EXPECT_EQ(S_OK, agent.As(&info));
}

TEST(ExtensionAgentTest, NullOutPointersReturnAtOnce) {
  ComPtr<IExtensionAgent> agent = AgentWith(u"{\"name\":\"n\"}");
  EXPECT_EQ(S_OK, agent->GetId(nullptr));
  EXPECT_EQ(S_OK, agent->GetName(nullptr));
  EXPECT_EQ(S_OK, agent->GetPosition(nullptr));
  EXPECT_EQ(S_OK, agent->GetSummary(nullptr, TRUE, nullptr));
  EXPECT_EQ(S_OK, agent->GetPermissions(nullptr));
  EXPECT_EQ(S_OK, agent->GetPluginOrder(nullptr));
  EXPECT_EQ(S_OK, agent->GetSetupCommand(nullptr, nullptr));
  EXPECT_EQ(S_OK, agent->BuildUIDescription(nullptr, nullptr));
}

// --- Record operations through the interface ---

TEST(ExtensionAgentTest, RecordRoundTripsThroughTheInterface) {
  ComPtr<IExtensionAgent> agent = NewAgent();
  ScopedBstr id(u"ext.id"), empty(u""), dir(u"D:\\ext\\one\\");
  EXPECT_EQ(S_OK, agent->SetId(id.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(empty.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(nullptr));
  EXPECT_EQ(S_OK, agent->SetFlags(2));
  EXPECT_EQ(S_OK, agent->SetState(0));
  EXPECT_EQ(S_OK, agent->SetPosition(7));
  EXPECT_EQ(S_OK, agent->SetDirectory(dir.Get()));
  ScopedBstr out;
  ASSERT_EQ(S_OK, agent->GetId(out.Receive()));
  EXPECT_EQ(u"ext.id", out.View());
  ASSERT_EQ(S_OK, agent->GetDirectory(out.Receive()));
  EXPECT_EQ(u"D:\\ext\\one", out.View());
  ASSERT_EQ(S_OK, agent->GetBaseUrl(out.Receive()));
  EXPECT_EQ(u"hcbrowser://localextensions/ext.id/", out.View());
  LONG value = 0;
  agent->GetFlags(&value);
  EXPECT_EQ(2, value);
  agent->GetState(&value);
  EXPECT_EQ(0, value);
  agent->GetPosition(&value);
  EXPECT_EQ(7, value);
}

TEST(ExtensionAgentTest, ManifestSetterAlwaysSucceedsAndKeepsTheOldOnRefusal) {
  ComPtr<IExtensionAgent> agent = AgentWith(u"{\"version\":\"2.0\"}");
  ScopedBstr array(u"[\"version\",\"3.0\"]");
  EXPECT_EQ(S_OK, agent->SetManifest(array.Get()));
  ScopedBstr out;
  ASSERT_EQ(S_OK, agent->GetVersion(out.Receive()));
  EXPECT_EQ(u"2.0", out.View());
  ASSERT_EQ(S_OK, agent->GetManifest(out.Receive()));
  EXPECT_EQ(u"{\"version\":\"2.0\"}", out.View());
  EXPECT_EQ(S_FALSE, NewAgent()->GetManifest(out.Receive()));
  EXPECT_EQ(u"", out.View());
}

TEST(ExtensionAgentTest, LibraryAndBackgroundPageAreFalseWhenMissingOrEmpty) {
  ComPtr<IExtensionAgent> agent = AgentWith(u"{\"librarypath\":\"\"}");
  ScopedBstr out;
  EXPECT_EQ(S_FALSE, agent->GetLibraryPath(out.Receive()));
  EXPECT_EQ(nullptr, out.Get());
  EXPECT_EQ(S_FALSE, agent->GetBackgroundPage(out.Receive()));
  agent = AgentWith(u"{\"librarypath\":\"x.so\",\"background_page\":\"bg.html\"}");
  EXPECT_EQ(S_OK, agent->GetLibraryPath(out.Receive()));
  EXPECT_EQ(u"x.so", out.View());
  EXPECT_EQ(S_OK, agent->GetBackgroundPage(out.Receive()));
  EXPECT_EQ(u"bg.html", out.View());
}

TEST(ExtensionAgentTest, PluginOrderTrueLeavesTheCallersValue) {
  LONG order = 41;
  EXPECT_EQ(S_FALSE, AgentWith(u"{\"pluginorder\":true}")->GetPluginOrder(&order));
  EXPECT_EQ(41, order);
  EXPECT_EQ(S_OK, AgentWith(u"{\"pluginorder\":3.9}")->GetPluginOrder(&order));
  EXPECT_EQ(3, order);
  EXPECT_EQ(S_OK, AgentWith(u"{\"pluginorder\":\"12ab\"}")->GetPluginOrder(&order));
  EXPECT_EQ(12, order);
}

TEST(ExtensionAgentTest, SetupCommandFailsOnlyWithoutAManifest) {
  ScopedBstr url, param;
  EXPECT_EQ(E_FAIL, NewAgent()->GetSetupCommand(url.Receive(), param.Receive()));
  ComPtr<IExtensionAgent> agent =
      AgentWith(u"{\"setupcommand\":{\"url\":\"http://h/s.exe\",\"param\":\"-q\"}}");
  ASSERT_EQ(S_OK, agent->GetSetupCommand(url.Receive(), param.Receive()));
  EXPECT_EQ(u"http://h/s.exe", url.View());
  EXPECT_EQ(u"-q", param.View());
}

TEST(ExtensionAgentTest, SetupOnlineAndLowestBrowserThroughTheInterface) {
  LONG online = 5;
  AgentWith(u"{\"setuponline\":\"1\"}")->GetSetupOnline(&online);
  EXPECT_EQ(1, online);
  AgentWith(u"{\"setuponline\":\"2\"}")->GetSetupOnline(&online);
  EXPECT_EQ(0, online);
  ScopedBstr out;
  AgentWith(u"{}")->GetLowestBrowser(out.Receive());
  EXPECT_EQ(u"0.0.0.0", out.View());
}

TEST(ExtensionAgentTest, PermissionsComeAsAStringListInManifestOrder) {
  ComPtr<IExtensionAgent> agent = AgentWith(u"{\"permissions\":[\"tabs\",\"*://*/*\",7]}");
  ComPtr<IStringList> list;
  ASSERT_EQ(S_OK, agent->GetPermissions(list.ReleaseAndGetAddressOf()));
  ASSERT_TRUE(list);
  LONG count = 0;
  ASSERT_EQ(S_OK, list->GetCount(&count));
  ASSERT_EQ(2, count);
  ScopedBstr item;
  list->GetAt(0, item.Receive());
  EXPECT_EQ(u"tabs", item.View());
  list->GetAt(1, item.Receive());
  EXPECT_EQ(u"*://*/*", item.View());

  ComPtr<IStringList> none;
  ASSERT_EQ(S_OK, AgentWith(u"{}")->GetPermissions(none.ReleaseAndGetAddressOf()));
  none->GetCount(&count);
  EXPECT_EQ(0, count);
}

TEST(ExtensionAgentTest, AcceleratorAndContextMenuThroughTheInterface) {
  WORD word = 0;
  EXPECT_EQ(S_OK, AgentWith(u"{\"accelerator\":\"ALT+6\"}")->GetAccelerator(&word));
  EXPECT_EQ(0x0436, word);
  EXPECT_EQ(E_FAIL, AgentWith(u"{\"accelerator\":\"CTRL+SHIFT\"}")->GetAccelerator(&word));
  ScopedBstr menu;
  EXPECT_EQ(S_FALSE, AgentWith(u"{}")->GetContextMenu(menu.Receive()));
  EXPECT_EQ(S_OK,
            AgentWith(u"{\"contextmenu\":[{\"text\":\"t\"}]}")->GetContextMenu(menu.Receive()));
  EXPECT_EQ(u"[{\"text\":\"t\"}]", menu.View());
}

TEST(ExtensionAgentTest, SummaryThroughTheInterface) {
  extension_testing::BrowserEnvironment env;
  ComPtr<IExtensionAgent> agent =
      AgentWith(u"{\"name\":\"N\",\"developer\":\"D\",\"version\":\"1\"}");
  ScopedBstr id(u"i"), dir(u"/nowhere");
  agent->SetId(id.Get());
  ScopedBstr summary;
  ASSERT_EQ(S_OK, agent->GetSummary(dir.Get(), TRUE, summary.Receive()));
  EXPECT_EQ(
      u"{ \"id\":\"i\",\"name\":\"N\",\"icon\":\"\",\"developer\":\"D\",\"version\":\"1\","
      u"\"description\":\"\",\"optionpage\":\"\",\"state\":\"1\", \"uninstall\":\"true\", "
      u"\"candisable\":\"true\"}",
      summary.View());
  ASSERT_EQ(S_OK, agent->GetSummary(dir.Get(), FALSE, summary.Receive()));
  EXPECT_EQ(u"", summary.View());
}

// --- UI description ---

// Records what the module puts into a description.
class FakeDescription : public halcy::ComObjectRoot, public Logic::IUIExtDescription {
 public:
  HALCY_BEGIN_INTERFACES(FakeDescription)
  HALCY_INTERFACE(FakeDescription, Logic::IUIExtDescription)
  HALCY_END_INTERFACES()

  HRESULT SetExtensionId(BSTR id) override {
    id_ = Text(id);
    return S_OK;
  }
  HRESULT AddExtensionPoint(BSTR point_id, BSTR json) override {
    points_.emplace_back(Text(point_id), Text(json));
    return S_OK;
  }

  std::u16string id_;
  std::vector<std::pair<std::u16string, std::u16string>> points_;
};

class UIDescriptionTest : public ::testing::Test {
 protected:
  UIDescriptionTest() {
    halcy::CreatableClass entry;
    entry.create = [](REFIID iid, void** out) {
      return halcy::CreateComInstance<FakeDescription>(nullptr, iid, out);
    };
    previous_ = halcy::SetCreatableClass(Logic::IUIExtDescription::kIID, std::move(entry));
  }
  ~UIDescriptionTest() override {
    halcy::SetCreatableClass(Logic::IUIExtDescription::kIID, std::move(previous_));
  }

  FakeDescription* Build(IExtensionAgent* agent, const std::u16string& directory) {
    ScopedBstr dir(directory);
    EXPECT_EQ(S_OK, agent->BuildUIDescription(description_.ReleaseAndGetAddressOf(), dir.Get()));
    return static_cast<FakeDescription*>(description_.Get());
  }

  // A string at `group`/`name` of a point's JSON text.
  static std::u16string Icon(const std::u16string& json, const char16_t* group,
                             const char16_t* name) {
    auto value = Logic::ParseJson(json);
    if (!value || !value->IsObject()) return u"<not an object>";
    auto g = value->GetObject().find(std::u16string_view(group));
    if (g == value->GetObject().end()) return u"<no group>";
    auto n = g->second->GetObject().find(std::u16string_view(name));
    return n == g->second->GetObject().end() ? u"<no name>" : n->second->GetString();
  }

  halcy::CreatableClass previous_;
  ComPtr<Logic::IUIExtDescription> description_;
};

TEST_F(UIDescriptionTest, PointsComeInOrderWithTheirIdentifiers) {
  ComPtr<IExtensionAgent> agent = AgentWith(
      u"{\"sidebarui\":{\"url\":\"s.html\"},\"toolbarui\":{\"caption\":\"T\"},"
      u"\"appbarui\":{},\"addressui\":\"not an object\",\"smartbarui\":[1]}");
  ScopedBstr id(u"pts");
  agent->SetId(id.Get());
  FakeDescription* d = Build(agent.Get(), u"/x/ext");
  ASSERT_TRUE(d);
  EXPECT_EQ(u"pts", d->id_);
  ASSERT_EQ(3u, d->points_.size());
  EXPECT_EQ(u"185A0831-E83A-4a49-A9FE-2632A7D59888", d->points_[0].first);
  EXPECT_EQ(u"{\"caption\":\"T\"}", d->points_[0].second);
  EXPECT_EQ(u"8CC9336E-AD56-4cb8-8EC1-59BF6962AB6B", d->points_[1].first);
  EXPECT_EQ(u"{}", d->points_[1].second);
  EXPECT_EQ(u"0FE0820D-0A73-423b-A3EC-771BF44C3748", d->points_[2].first);
}

TEST_F(UIDescriptionTest, RelativeIconPathsBecomeDirectoryBackslashPath) {
  ComPtr<IExtensionAgent> agent = AgentWith(
      u"{\"toolbarui\":{\"icongroup\":{\"normal\":\"img/n.png\",\"press\":\"img/p.png\"},"
      u"\"animation_icon\":{\"path\":\"img/a.gif\"}},"
      u"\"addressui\":{\"icongroup\":{\"normal\":\"n.png\",\"press\":\"p.png\",\"hover\":\"h.png\"}"
      u"}}");
  FakeDescription* d = Build(agent.Get(), u" C:\\ext\\abc\\ ");
  ASSERT_TRUE(d);
  ASSERT_EQ(2u, d->points_.size());
  const std::u16string& toolbar = d->points_[0].second;
  EXPECT_EQ(u"C:\\ext\\abc\\img/n.png", Icon(toolbar, u"icongroup", u"normal"));
  EXPECT_EQ(u"img/p.png", Icon(toolbar, u"icongroup", u"press"));  // only the address bar's
  EXPECT_EQ(u"C:\\ext\\abc\\img/a.gif", Icon(toolbar, u"animation_icon", u"path"));
  // The backslashes arrive escaped for JSON.
  EXPECT_NE(std::u16string::npos, toolbar.find(u"\"C:\\\\ext\\\\abc\\\\img/n.png\""));
  const std::u16string& address = d->points_[1].second;
  EXPECT_EQ(u"C:\\ext\\abc\\n.png", Icon(address, u"icongroup", u"normal"));
  EXPECT_EQ(u"C:\\ext\\abc\\p.png", Icon(address, u"icongroup", u"press"));
  EXPECT_EQ(u"C:\\ext\\abc\\h.png", Icon(address, u"icongroup", u"hover"));
}

TEST_F(UIDescriptionTest, AnIconUsedTwiceIsMadeAbsoluteOnce) {
  ComPtr<IExtensionAgent> agent = AgentWith(
      u"{\"addressui\":{\"icongroup\":{\"normal\":\"i.png\",\"press\":\"i.png\",\"hover\":\"x/"
      u"i.png\"}}}");
  FakeDescription* d = Build(agent.Get(), u"D:\\e");
  ASSERT_TRUE(d);
  ASSERT_EQ(1u, d->points_.size());
  EXPECT_EQ(u"D:\\e\\i.png", Icon(d->points_[0].second, u"icongroup", u"normal"));
  EXPECT_EQ(u"D:\\e\\i.png", Icon(d->points_[0].second, u"icongroup", u"press"));
  EXPECT_EQ(u"D:\\e\\x/i.png", Icon(d->points_[0].second, u"icongroup", u"hover"));
}

TEST_F(UIDescriptionTest, NoDescriptionClassFails) {
  halcy::SetCreatableClass(Logic::IUIExtDescription::kIID, halcy::CreatableClass());
  ComPtr<Logic::IUIExtDescription> out;
  ScopedBstr dir(u"/x");
  EXPECT_EQ(E_FAIL, AgentWith(u"{}")->BuildUIDescription(out.ReleaseAndGetAddressOf(), dir.Get()));
  EXPECT_FALSE(out);
}

// --- Registry path ---

class RegPathTest : public ::testing::Test {
 protected:
  RegPathTest() : registry_env_("HALCY_REGISTRY", dir_.File("registry.reg")) {
    halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"InstallDir",
                          Utf8ToUtf16(dir_.path()) + u"\\bin\\");
    halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"Icon", u"app.ico");
    std::filesystem::create_directories(dir_.path() + "/bin");
  }

  HRESULT Resolve(const std::u16string& regpath, std::u16string* program,
                  std::u16string* parameters, std::u16string* icon) {
    ComPtr<IExtensionAgent> agent =
        AgentWith(u"{\"regpath\":" + regpath + u",\"exename\":\"app.exe\",\"exeparam\":\"--go\"}");
    ScopedBstr a, b, c;
    const HRESULT hr = agent->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive());
    *program = std::u16string(a.View());
    *parameters = std::u16string(b.View());
    *icon = std::u16string(c.View());
    return hr;
  }

  ScopedTempDir dir_;
  ScopedEnv registry_env_;
};

TEST_F(RegPathTest, RegisteredProgramIsReportedWhenItsFileExists) {
  std::u16string program, parameters, icon;
  const std::u16string declaration =
      u"{\"root\":\"hkey_local_machine\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\","
      u"\"param\":\"InstallDir\",\"icon\":\"Icon\"}";
  EXPECT_EQ(S_FALSE, Resolve(declaration, &program, &parameters, &icon));
  EXPECT_EQ(u"", program);
  WriteFileOrDie(dir_.File("bin/app.exe"), "");
  ASSERT_EQ(S_OK, Resolve(declaration, &program, &parameters, &icon));
  EXPECT_EQ(Utf8ToUtf16(dir_.path()) + u"\\bin\\app.exe", program);
  EXPECT_EQ(u"--go", parameters);
  EXPECT_EQ(u"app.ico", icon);
}

TEST_F(RegPathTest, UnknownRootMissingKeyOrValueFail) {
  WriteFileOrDie(dir_.File("bin/app.exe"), "");
  std::u16string program, parameters, icon;
  for (const char16_t* declaration :
       {u"{\"root\":\"HKLM\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"InstallDir\"}",
        u"{\"root\":\"HKEY_LOCAL_MACHINE\",\"path\":\"SOFTWARE\\\\Nope\",\"param\":\"InstallDir\"}",
        u"{\"root\":\"HKEY_LOCAL_MACHINE\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"X\"}",
        u"\"HKEY_LOCAL_MACHINE\""}) {
    EXPECT_EQ(E_FAIL, Resolve(declaration, &program, &parameters, &icon))
        << Utf16ToUtf8(declaration);
  }
}

}  // namespace
