// The extension record as the browser reads it through IExtensionAgent: identity, refusals of
// bad input, the manifest's typed values, accelerators, the UI description and the program a
// registry declaration leads to.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "extension/accelerator.h"
#include "extension/extension_agent.h"
#include "extension/extension_test_util.h"
#include "extension/ui_ext_description.h"
#include "json/json_reader.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;
using Logic::IExtensionAgent;

constexpr int kAgentClassIndex = 2;  // CCoExtensionAgent in the module's class table

// A new agent holding `manifest` (none when null).
ComPtr<IExtensionAgent> AgentWith(const char16_t* manifest) {
  ComPtr<IExtensionAgent> agent;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kAgentClassIndex, nullptr, IExtensionAgent::kIID,
                                             agent.ReleaseAndGetVoidAddress()));
  ScopedBstr text(manifest ? manifest : u"");
  if (manifest) {
    EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
  }
  return agent;
}

std::u16string Get(IExtensionAgent* agent, HRESULT (IExtensionAgent::*get)(BSTR*),
                   HRESULT* hr = nullptr) {
  ScopedBstr out;
  const HRESULT result = (agent->*get)(out.Receive());
  if (hr) *hr = result;
  return std::u16string(out.View());
}

// --- Identity and the record ---

TEST(ExtensionAgentTest, AgentAndItsBaseAnswerAtTheSamePointer) {
  ComPtr<IExtensionAgent> agent = AgentWith(nullptr);
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

TEST(ExtensionAgentTest, EmptyIdIsRefusedAndDirectoryLosesTrailingSeparators) {
  ComPtr<IExtensionAgent> agent = AgentWith(nullptr);
  ScopedBstr id(u"ext.id"), empty(u"");
  EXPECT_EQ(S_OK, agent->SetId(id.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(empty.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(nullptr));
  EXPECT_EQ(u"ext.id", Get(agent.Get(), &IExtensionAgent::GetId));
  EXPECT_EQ(u"hcbrowser://localextensions/ext.id/", Get(agent.Get(), &IExtensionAgent::GetBaseUrl));
  for (const auto& [given, kept] :
       {std::pair{u"D:\\ext\\one\\", u"D:\\ext\\one"}, std::pair{u"C:\\x\\/\\", u"C:\\x"},
        std::pair{u"/srv/ext//", u"/srv/ext"}}) {
    ScopedBstr directory(given);
    agent->SetDirectory(directory.Get());
    EXPECT_EQ(kept, Get(agent.Get(), &IExtensionAgent::GetDirectory));
  }
}

// --- The manifest ---

TEST(ExtensionAgentTest, ManifestThatIsNotAnObjectKeepsTheOldOne) {
  const char16_t* old_text = u"{\"name\":\"Old\",\"version\":\"1.0\"}";
  ComPtr<IExtensionAgent> agent = AgentWith(old_text);
  for (const char16_t* refused : {u"[{\"name\":\"New\"}]", u"\"text\"", u"{\"name\":", u""}) {
    ScopedBstr text(refused);
    EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
    EXPECT_EQ(u"Old", Get(agent.Get(), &IExtensionAgent::GetName)) << Utf16ToUtf8(refused);
    EXPECT_EQ(old_text, Get(agent.Get(), &IExtensionAgent::GetManifest));
  }
  // A new object changes every answer at once.
  ScopedBstr text(u"{\"name\":\"New\"}");
  ASSERT_EQ(S_OK, agent->SetManifest(text.Get()));
  EXPECT_EQ(u"New", Get(agent.Get(), &IExtensionAgent::GetName));
  EXPECT_EQ(u"", Get(agent.Get(), &IExtensionAgent::GetVersion));
}

TEST(ExtensionAgentTest, ReadersOnOtherThreadsSeeEitherManifestWhole) {
  Logic::CExtension ext;
  const std::u16string a = u"{\"name\":\"A\",\"version\":\"1\"}";
  const std::u16string b = u"{\"name\":\"B\",\"version\":\"2\"}";
  ASSERT_TRUE(ext.SetManifest(a));
  std::atomic<bool> torn{false};
  std::atomic<int> readers_done{0};
  auto reader = [&] {
    for (int i = 0; i < 3000; ++i) {
      const std::u16string name = ext.GetName();
      const std::u16string text = ext.GetManifestText();
      if ((name != u"A" && name != u"B") || (text != a && text != b)) torn = true;
    }
    ++readers_done;
  };
  std::thread r1(reader), r2(reader);
  for (int i = 0; readers_done.load() < 2; ++i) ext.SetManifest(i % 2 ? a : b);
  r1.join();
  r2.join();
  EXPECT_FALSE(torn.load());
}

TEST(ExtensionAgentTest, TextValuesAreReadByTheirExactKeyAndType) {
  using Agent = IExtensionAgent;
  const struct {
    const char16_t* manifest;  // null: no manifest
    HRESULT (Agent::*get)(BSTR*);
    HRESULT hr;
    const char16_t* text;
  } cases[] = {
      {u"{\"Name\":\"Upper\"}", &Agent::GetName, S_OK, u""},
      {u"{\"version\":2}", &Agent::GetVersion, S_OK, u""},
      {u"{\"update_url\":null}", &Agent::GetUpdateUrl, S_OK, u""},
      {nullptr, &Agent::GetManifest, S_FALSE, u""},
      {u"{\"librarypath\":\"lib\\\\native.so\"}", &Agent::GetLibraryPath, S_OK, u"lib\\native.so"},
      {u"{\"librarypath\":\"\"}", &Agent::GetLibraryPath, S_FALSE, u""},
      {u"{\"background_page\":\"bg.html\"}", &Agent::GetBackgroundPage, S_OK, u"bg.html"},
      {u"{}", &Agent::GetBackgroundPage, S_FALSE, u""},
      {u"{\"lowestbrowser\":\"6.5\"}", &Agent::GetLowestBrowser, S_OK, u"6.5"},
      {nullptr, &Agent::GetLowestBrowser, S_OK, u"0.0.0.0"},
      {u"{\"lowestbrowser\":\"\"}", &Agent::GetLowestBrowser, S_OK, u"0.0.0.0"},
      {u"{\"lowestbrowser\":6.5}", &Agent::GetLowestBrowser, S_OK, u"0.0.0.0"},
      {u"{\"contextmenu\": [ {\"text\" : \"Look up\", \"contexttype\":\"2\"} ]}",
       &Agent::GetContextMenu, S_OK, u"[{\"contexttype\":\"2\",\"text\":\"Look up\"}]"},
      {u"{\"contextmenu\":{}}", &Agent::GetContextMenu, S_FALSE, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.manifest ? c.manifest : u"(no manifest)"));
    HRESULT hr = E_UNEXPECTED;
    EXPECT_EQ(c.text, Get(AgentWith(c.manifest).Get(), c.get, &hr));
    EXPECT_EQ(c.hr, hr);
  }
}

TEST(ExtensionAgentTest, PluginOrderTruncatesNumbersAndReadsLeadingDigits) {
  const struct {
    const char16_t* value;  // the JSON text of "pluginorder", or null for a missing key
    HRESULT hr;
    LONG expected;  // the caller's 55 when not read
  } cases[] = {
      {u"3.9", S_OK, 3},
      {u"-3.9", S_OK, -3},
      {u"0", S_OK, 0},
      {u"\"12ab\"", S_OK, 12},
      {u"\"ab12\"", S_OK, 0},
      {u"1e20", S_OK, std::numeric_limits<int32_t>::max()},
      {u"-1e20", S_OK, std::numeric_limits<int32_t>::min()},
      {u"true", S_FALSE, 55},
      {u"[1]", S_FALSE, 55},
      {nullptr, S_FALSE, 55},
  };
  for (const auto& c : cases) {
    const std::u16string manifest =
        c.value ? u"{\"pluginorder\":" + std::u16string(c.value) + u"}" : u"{}";
    LONG order = 55;
    EXPECT_EQ(c.hr, AgentWith(manifest.c_str())->GetPluginOrder(&order)) << Utf16ToUtf8(manifest);
    EXPECT_EQ(c.expected, order) << Utf16ToUtf8(manifest);
  }
  LONG order = 55;
  EXPECT_EQ(S_FALSE, AgentWith(nullptr)->GetPluginOrder(&order));
  EXPECT_EQ(55, order);
}

TEST(ExtensionAgentTest, SetupOnlineIsOneOnlyForTheTextOne) {
  const std::pair<const char16_t*, LONG> cases[] = {
      {u"{\"setuponline\":\"1\"}", 1},  {u"{\"setuponline\":\"2\"}", 0},
      {u"{\"setuponline\":1}", 0},      {u"{\"setuponline\":\" 1\"}", 0},
      {u"{\"setuponline\":\"1 \"}", 0}, {u"{}", 0},
  };
  for (const auto& [manifest, expected] : cases) {
    LONG online = 5;
    AgentWith(manifest)->GetSetupOnline(&online);
    EXPECT_EQ(expected, online) << Utf16ToUtf8(manifest);
  }
}

TEST(ExtensionAgentTest, SetupCommandReadsUrlAndParamAndFailsOnlyWithoutAManifest) {
  const struct {
    const char16_t* manifest;
    HRESULT hr;
    const char16_t* url;
    const char16_t* param;
  } cases[] = {
      {nullptr, E_FAIL, u"", u""},
      {u"{}", S_OK, u"", u""},
      {u"{\"setupcommand\":{\"url\":\"http://s/x.exe\",\"param\":\"/S\"}}", S_OK, u"http://s/x.exe",
       u"/S"},
      {u"{\"setupcommand\":\"x.exe\"}", S_OK, u"", u""},
  };
  for (const auto& c : cases) {
    ScopedBstr url, param;
    EXPECT_EQ(c.hr, AgentWith(c.manifest)->GetSetupCommand(url.Receive(), param.Receive()));
    EXPECT_EQ(c.url, std::u16string(url.View()));
    EXPECT_EQ(c.param, std::u16string(param.View()));
  }
}

TEST(ExtensionAgentTest, PermissionsKeepManifestOrderAndSkipNonStrings) {
  const std::pair<const char16_t*, std::vector<std::u16string>> cases[] = {
      {u"{\"permissions\":[\"tabs\",3,\"http://*.example.com/*\",null,\"tabs\",\"\"]}",
       {u"tabs", u"http://*.example.com/*", u"tabs", u""}},
      {u"{\"permissions\":\"tabs\"}", {}},
      {u"{}", {}},
  };
  for (const auto& [manifest, expected] : cases) {
    ComPtr<IStringList> list;
    ASSERT_EQ(S_OK, AgentWith(manifest)->GetPermissions(list.ReleaseAndGetAddressOf()));
    ASSERT_TRUE(list);
    EXPECT_EQ(expected, Items(list.Get())) << Utf16ToUtf8(manifest);
  }
}

// --- Accelerators ---

TEST(AcceleratorTest, ParsesModifiersAndKeys) {
  const struct {
    const char16_t* text;
    bool ok;
    uint16_t word;
  } cases[] = {
      {u"Ctrl+Shift+F5", true, 0x0374},
      {u"ALT+1", true, 0x0431},
      {u"ALT+0", true, 0x0430},
      {u"ALT+9", true, 0x0439},
      {u"alt+z", true, 0x045A},
      {u"F12", true, 0x007B},
      {u"f10", true, 0x0079},
      {u"CTRL+ALT+SHIFT+Q", true, 0x0751},
      {u"A+B", true, 0x0042},       // the last key wins
      {u"Foo+A", true, 0x0041},     // an unknown name is key 0, then A
      {u"CTRL+SHIFT", false, 0},    // no key
      {u"CTRL+A+B+C+D", false, 0},  // five parts
      {u"CTRL+A+Foo", false, 0},    // the unknown name came last
      {u"CTRL+F13", false, 0},
      {u"CTRL+F0", false, 0},
      {u"CTRL+ESC", false, 0},
      {u"CTRL+-", false, 0},
      {u"CTRL+ A", false, 0},  // names are not trimmed
      {u"", false, 0},
  };
  for (const auto& c : cases) {
    uint16_t word = 0xFFFF;
    EXPECT_EQ(c.ok, Logic::ParseAccelerator(c.text, &word)) << Utf16ToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(c.word, word) << Utf16ToUtf8(c.text);
    }
  }
}

TEST(AcceleratorTest, AgentReadsItsManifestAccelerator) {
  WORD word = 0;
  EXPECT_EQ(S_OK, AgentWith(u"{\"accelerator\":\"ALT+6\"}")->GetAccelerator(&word));
  EXPECT_EQ(0x0436, word);
  for (const char16_t* refused :
       {u"{\"accelerator\":\"CTRL+SHIFT\"}", u"{\"accelerator\":5}", u"{}"}) {
    EXPECT_EQ(E_FAIL, AgentWith(refused)->GetAccelerator(&word)) << Utf16ToUtf8(refused);
  }
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

  FakeDescription* Build(const char16_t* manifest, const std::u16string& directory) {
    ScopedBstr dir(directory), id(u"pts");
    ComPtr<IExtensionAgent> agent = AgentWith(manifest);
    agent->SetId(id.Get());
    EXPECT_EQ(S_OK, agent->BuildUIDescription(description_.ReleaseAndGetAddressOf(), dir.Get()));
    return static_cast<FakeDescription*>(description_.Get());
  }

  halcy::CreatableClass previous_;
  ComPtr<Logic::IUIExtDescription> description_;
};

TEST_F(UIDescriptionTest, PointsComeInOrderWithTheirIdentifiers) {
  FakeDescription* d = Build(
      u"{\"sidebarui\":{\"url\":\"s.html\"},\"toolbarui\":{\"caption\":\"T\"},"
      u"\"appbarui\":{},\"addressui\":\"not an object\",\"smartbarui\":[1]}",
      u"/x/ext");
  ASSERT_TRUE(d);
  EXPECT_EQ(u"pts", d->id_);
  ASSERT_EQ(3u, d->points_.size());
  EXPECT_EQ(u"185A0831-E83A-4a49-A9FE-2632A7D59888", d->points_[0].first);
  EXPECT_EQ(u"{\"caption\":\"T\"}", d->points_[0].second);
  EXPECT_EQ(u"8CC9336E-AD56-4cb8-8EC1-59BF6962AB6B", d->points_[1].first);
  EXPECT_EQ(u"{}", d->points_[1].second);
  EXPECT_EQ(u"0FE0820D-0A73-423b-A3EC-771BF44C3748", d->points_[2].first);
}

TEST_F(UIDescriptionTest, RelativeIconPathsBecomeDirectoryBackslashPathOnce) {
  FakeDescription* d = Build(
      u"{\"toolbarui\":{\"icongroup\":{\"normal\":\"img/n.png\",\"press\":\"p.png\"},"
      u"\"animation_icon\":{\"path\":\"img/a.gif\"}},\"addressui\":{\"icongroup\":{"
      u"\"normal\":\"i.png\",\"press\":\"i.png\",\"hover\":\"x/i.png\"}}}",
      u" C:\\ext\\abc\\ ");
  ASSERT_TRUE(d);
  ASSERT_EQ(2u, d->points_.size());
  // Only the address bar's pressed icon is resolved; an icon used twice is resolved once.
  EXPECT_EQ(
      u"{\"animation_icon\":{\"path\":\"C:\\\\ext\\\\abc\\\\img/a.gif\"},\"icongroup\":{"
      u"\"normal\":\"C:\\\\ext\\\\abc\\\\img/n.png\",\"press\":\"p.png\"}}",
      d->points_[0].second);
  EXPECT_EQ(
      u"{\"icongroup\":{\"hover\":\"C:\\\\ext\\\\abc\\\\x/i.png\",\"normal\":\"C:\\\\ext\\\\abc\\\\"
      u"i.png\",\"press\":\"C:\\\\ext\\\\abc\\\\i.png\"}}",
      d->points_[1].second);
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
                          halcy::Utf8ToUtf16(dir_.path()) + u"\\bin\\");
    halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"Icon", u"app.ico");
    std::filesystem::create_directories(dir_.path() + "/bin");
  }

  HRESULT Resolve(const std::u16string& regpath, std::vector<std::u16string>* out) {
    const std::u16string manifest =
        u"{\"regpath\":" + regpath + u",\"exename\":\"app.exe\",\"exeparam\":\"--go\"}";
    ScopedBstr a, b, c;
    const HRESULT hr =
        AgentWith(manifest.c_str())->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive());
    *out = {std::u16string(a.View()), std::u16string(b.View()), std::u16string(c.View())};
    return hr;
  }

  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv registry_env_;
};

TEST_F(RegPathTest, RegisteredProgramIsReportedWhenItsFileExists) {
  std::vector<std::u16string> out;
  const std::u16string declaration =
      u"{\"root\":\"hkey_local_machine\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\","
      u"\"param\":\"InstallDir\",\"icon\":\"Icon\"}";
  EXPECT_EQ(S_FALSE, Resolve(declaration, &out));
  EXPECT_EQ(u"", out[0]);
  testing_support::WriteFileOrDie(dir_.File("bin/app.exe"), "");
  ASSERT_EQ(S_OK, Resolve(declaration, &out));
  EXPECT_EQ((std::vector<std::u16string>{halcy::Utf8ToUtf16(dir_.path()) + u"\\bin\\app.exe",
                                         u"--go", u"app.ico"}),
            out);
}

TEST_F(RegPathTest, UnknownRootMissingKeyOrValueFail) {
  testing_support::WriteFileOrDie(dir_.File("bin/app.exe"), "");
  std::vector<std::u16string> out;
  for (const char16_t* declaration :
       {u"{\"root\":\"HKLM\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"InstallDir\"}",
        u"{\"root\":\"HKEY_LOCAL_MACHINE\",\"path\":\"SOFTWARE\\\\Nope\",\"param\":\"InstallDir\"}",
        u"{\"root\":\"HKEY_LOCAL_MACHINE\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"X\"}",
        u"\"HKEY_LOCAL_MACHINE\""}) {
    EXPECT_EQ(E_FAIL, Resolve(declaration, &out)) << Utf16ToUtf8(declaration);
  }
}

}  // namespace
}  // namespace extension_testing
