// The extension record as the browser reads it through IExtensionAgent: refusals of bad input,
// the manifest's typed values, accelerators, the UI description and the program a registry
// declaration leads to.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "extension/accelerator.h"
#include "extension/extension_agent.h"
#include "extension/extension_test_util.h"
#include "extension/ui_ext_description.h"
#include "host/service_registrations.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;
using Agent = Logic::IExtensionAgent;

// A new agent from the module's class table, holding `manifest` (none when null).
ComPtr<Agent> AgentWith(const char16_t* manifest) {
  constexpr int kAgentClassIndex = 2;
  ComPtr<Agent> agent;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kAgentClassIndex, nullptr, Agent::kIID,
                                             agent.ReleaseAndGetVoidAddress()));
  ScopedBstr text(manifest ? manifest : u"");
  if (manifest) {
    EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
  }
  return agent;
}

std::u16string Get(Agent* agent, HRESULT (Agent::*get)(BSTR*), HRESULT* hr = nullptr) {
  ScopedBstr out;
  const HRESULT result = (agent->*get)(out.Receive());
  if (hr) *hr = result;
  return std::u16string(out.View());
}

TEST(ExtensionAgentTest, NullOutPointersReturnAtOnceAndSettersSucceed) {
  ComPtr<Agent> agent = AgentWith(u"{\"name\":\"n\",\"setupcommand\":{\"url\":\"u\"}}");
  for (auto get : {&Agent::GetId, &Agent::GetDirectory, &Agent::GetManifest, &Agent::GetLibraryPath,
                   &Agent::GetBackgroundPage, &Agent::GetOptionsPage, &Agent::GetVersion,
                   &Agent::GetUpdateUrl, &Agent::GetName, &Agent::GetLowestBrowser,
                   &Agent::GetInstallCommand, &Agent::GetUninstallCommand, &Agent::GetDownloadUrl,
                   &Agent::GetBaseUrl, &Agent::GetContextMenu}) {
    EXPECT_EQ(S_OK, (agent.Get()->*get)(nullptr));
  }
  for (auto get : {&Agent::GetPosition, &Agent::GetFlags, &Agent::GetState, &Agent::GetSetupOnline,
                   &Agent::GetPluginOrder}) {
    EXPECT_EQ(S_OK, (agent.Get()->*get)(nullptr));
  }
  EXPECT_EQ(S_OK, agent->GetSummary(nullptr, TRUE, nullptr));
  EXPECT_EQ(S_OK, agent->GetPermissions(nullptr));
  EXPECT_EQ(S_OK, agent->GetAccelerator(nullptr));
  EXPECT_EQ(S_OK, agent->BuildUIDescription(nullptr, nullptr));
  // One missing out pointer of several is enough; the others stay untouched.
  BSTR one = nullptr;
  EXPECT_EQ(S_OK, agent->GetSetupCommand(&one, nullptr));
  EXPECT_EQ(S_OK, agent->GetRegPathProgram(&one, &one, nullptr));
  EXPECT_EQ(nullptr, one);
  EXPECT_EQ(S_OK, agent->SetPosition(7));
  EXPECT_EQ(S_OK, agent->SetFlags(3));
  EXPECT_EQ(S_OK, agent->SetState(2));
}

TEST(ExtensionAgentTest, EmptyIdIsRefusedAndDirectoryLosesTrailingSeparators) {
  ComPtr<Agent> agent = AgentWith(nullptr);
  ScopedBstr id(u"ext.id"), empty(u""), directory(u"C:\\x\\/\\");
  EXPECT_EQ(S_OK, agent->SetId(id.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(empty.Get()));
  EXPECT_EQ(u"ext.id", Get(agent.Get(), &Agent::GetId));
  EXPECT_EQ(u"hcbrowser://localextensions/ext.id/", Get(agent.Get(), &Agent::GetBaseUrl));
  EXPECT_EQ(S_OK, agent->SetDirectory(directory.Get()));
  EXPECT_EQ(u"C:\\x", Get(agent.Get(), &Agent::GetDirectory));
}

TEST(ExtensionAgentTest, ManifestThatIsNotAnObjectKeepsTheOldOne) {
  const char16_t* old_text = u"{\"name\":\"Old\",\"version\":\"1.0\"}";
  ComPtr<Agent> agent = AgentWith(old_text);
  for (const char16_t* refused : {u"[{\"name\":\"New\"}]", u"{\"name\":"}) {
    ScopedBstr text(refused);
    EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
    EXPECT_EQ(old_text, Get(agent.Get(), &Agent::GetManifest)) << Utf16ToUtf8(refused);
  }
  ScopedBstr text(u"{\"name\":\"New\"}");
  ASSERT_EQ(S_OK, agent->SetManifest(text.Get()));
  EXPECT_EQ(u"New", Get(agent.Get(), &Agent::GetName));
  EXPECT_EQ(u"", Get(agent.Get(), &Agent::GetVersion));
}

TEST(ExtensionAgentTest, ReadersOnOtherThreadsSeeEitherManifestWhole) {
  Logic::CExtension ext;
  const std::u16string a = u"{\"name\":\"A\",\"version\":\"1\"}", b = u"{\"name\":\"B\"}";
  ASSERT_TRUE(ext.SetManifest(a));
  std::atomic<int> torn{0}, readers_done{0};
  auto reader = [&] {
    for (int i = 0; i < 3000; ++i) {
      const std::u16string name = ext.GetName(), text = ext.GetManifestText();
      if ((name != u"A" && name != u"B") || (text != a && text != b)) ++torn;
    }
    ++readers_done;
  };
  std::thread r1(reader), r2(reader);
  for (int i = 0; readers_done.load() < 2; ++i) ext.SetManifest(i % 2 ? a : b);
  r1.join();
  r2.join();
  EXPECT_EQ(0, torn.load());
}

TEST(ExtensionAgentTest, TextValuesAreReadByTheirExactKeyAndType) {
  const std::tuple<const char16_t*, HRESULT (Agent::*)(BSTR*), HRESULT, const char16_t*> cases[] = {
      {u"{\"Name\":\"Upper\"}", &Agent::GetName, S_OK, u""},  // null: no manifest
      {u"{\"version\":2}", &Agent::GetVersion, S_OK, u""},
      {nullptr, &Agent::GetManifest, S_FALSE, u""},
      {u"{\"librarypath\":\"\"}", &Agent::GetLibraryPath, S_FALSE, u""},
      {nullptr, &Agent::GetLowestBrowser, S_OK, u"0.0.0.0"},
      {u"{\"contextmenu\": [ {\"text\" : \"Look\", \"contexttype\":\"2\"} ]}",
       &Agent::GetContextMenu, S_OK, u"[{\"contexttype\":\"2\",\"text\":\"Look\"}]"},
      {u"{\"contextmenu\":{}}", &Agent::GetContextMenu, S_FALSE, u""}};
  for (const auto& [manifest, get, expected_hr, text] : cases) {
    HRESULT hr = E_UNEXPECTED;
    EXPECT_EQ(text, Get(AgentWith(manifest).Get(), get, &hr)) << (manifest ? Utf16ToUtf8(manifest) : "");
    EXPECT_EQ(expected_hr, hr) << (manifest ? Utf16ToUtf8(manifest) : "");
  }
}

TEST(ExtensionAgentTest, PluginOrderTruncatesNumbersAndReadsTheDigitsOfAText) {
  constexpr LONG kMax = std::numeric_limits<int32_t>::max();
  const std::tuple<const char16_t*, HRESULT, LONG> cases[] = {  // the caller's 55 when not read
      {u"{\"pluginorder\":3.9}", S_OK, 3},          {u"{\"pluginorder\":\"12ab\"}", S_OK, 12},
      {u"{\"pluginorder\":1e20}", S_OK, kMax},      {u"{\"pluginorder\":-1e20}", S_OK, -kMax - 1},
      {u"{\"pluginorder\":true}", S_FALSE, 55}, {u"{}", S_FALSE, 55}};
  for (const auto& [manifest, hr, expected] : cases) {
    LONG order = 55;
    EXPECT_EQ(hr, AgentWith(manifest)->GetPluginOrder(&order)) << Utf16ToUtf8(manifest);
    EXPECT_EQ(expected, order) << Utf16ToUtf8(manifest);
  }
}

TEST(ExtensionAgentTest, SetupCommandAndPermissionsAreReadByTheirType) {
  const std::tuple<const char16_t*, HRESULT, const char16_t*, const char16_t*> cases[] = {
      {nullptr, E_FAIL, u"", u""},
      {u"{}", S_OK, u"", u""},
      {u"{\"setupcommand\":{\"url\":\"http://s/x.exe\",\"param\":\"/S\"}}", S_OK, u"http://s/x.exe",
       u"/S"},
      {u"{\"setupcommand\":\"x.exe\"}", S_OK, u"", u""}};
  for (const auto& [manifest, hr, url, param] : cases) {
    ScopedBstr got_url, got_param;
    EXPECT_EQ(hr, AgentWith(manifest)->GetSetupCommand(got_url.Receive(), got_param.Receive()));
    EXPECT_EQ(url, std::u16string(got_url.View()));
    EXPECT_EQ(param, std::u16string(got_param.View()));
  }
  // Permissions keep the manifest's order and skip what is not a string.
  ComPtr<IStringList> list;
  ASSERT_EQ(S_OK, AgentWith(u"{\"permissions\":[\"tabs\",3,\"http://*/*\",null,\"tabs\",\"\"]}")
                      ->GetPermissions(list.ReleaseAndGetAddressOf()));
  EXPECT_EQ((std::vector<std::u16string>{u"tabs", u"http://*/*", u"tabs", u""}),
            Items(list.Get()));
}

TEST(AcceleratorTest, ParsesModifiersAndKeys) {
  const struct {
    const char16_t* text;
    uint16_t word;  // 0: refused
  } cases[] = {
      {u"Ctrl+Shift+F5", 0x0374}, {u"ALT+0", 0x0430},        {u"ALT+9", 0x0439},
      {u"alt+z", 0x045A},         {u"F12", 0x007B},          {u"f10", 0x0079},
      {u"CTRL+ALT+SHIFT+Q", 0x0751}, {u"A+B", 0x0042},       {u"CTRL+SHIFT", 0},
      {u"CTRL+A+B+C+D", 0},       {u"CTRL+A+Foo", 0},        {u"CTRL+F13", 0},
      {u"CTRL+F0", 0},            {u"CTRL+ESC", 0},          {u"CTRL+-", 0},
  };
  for (const auto& c : cases) {
    uint16_t word = 0;
    EXPECT_EQ(c.word != 0, Logic::ParseAccelerator(c.text, &word)) << Utf16ToUtf8(c.text);
    EXPECT_EQ(c.word, word) << Utf16ToUtf8(c.text);
  }
  WORD hotkey = 0;
  EXPECT_EQ(S_OK, AgentWith(u"{\"accelerator\":\"ALT+6\"}")->GetAccelerator(&hotkey));
  EXPECT_EQ(0x0436, hotkey);
  EXPECT_EQ(E_FAIL, AgentWith(u"{\"accelerator\":\"CTRL+SHIFT\"}")->GetAccelerator(&hotkey));
  EXPECT_EQ(E_FAIL, AgentWith(u"{}")->GetAccelerator(&hotkey));
}

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

TEST(UIDescriptionTest, PointsComeInOrderWithTheirIdentifiersAndNeedTheClass) {
  ComPtr<Agent> agent = AgentWith(
      u"{\"sidebarui\":{\"url\":\"s.html\"},\"toolbarui\":{\"caption\":\"T\"},"
      u"\"appbarui\":{},\"addressui\":\"not an object\",\"smartbarui\":[1]}");
  ScopedBstr dir(u"/x/ext"), id(u"pts");
  agent->SetId(id.Get());
  host::CServiceRegistrations registrations;
  registrations.PublishClass(Logic::IUIExtDescription::kIID, halcy::CreatableClass());
  ComPtr<Logic::IUIExtDescription> out;
  EXPECT_EQ(E_FAIL, agent->BuildUIDescription(out.ReleaseAndGetAddressOf(), dir.Get()));
  EXPECT_FALSE(out);
  halcy::CreatableClass fake;
  fake.create = [](REFIID iid, void** object) {
    return halcy::CreateComInstance<FakeDescription>(nullptr, iid, object);
  };
  registrations.PublishClass(Logic::IUIExtDescription::kIID, std::move(fake));
  ASSERT_EQ(S_OK, agent->BuildUIDescription(out.ReleaseAndGetAddressOf(), dir.Get()));
  auto* d = static_cast<FakeDescription*>(out.Get());
  EXPECT_EQ(u"pts", d->id_);
  ASSERT_EQ(3u, d->points_.size());
  EXPECT_EQ(u"185A0831-E83A-4a49-A9FE-2632A7D59888", d->points_[0].first);
  EXPECT_EQ(u"{\"caption\":\"T\"}", d->points_[0].second);
  EXPECT_EQ(u"8CC9336E-AD56-4cb8-8EC1-59BF6962AB6B", d->points_[1].first);
  EXPECT_EQ(u"{}", d->points_[1].second);
  EXPECT_EQ(u"0FE0820D-0A73-423b-A3EC-771BF44C3748", d->points_[2].first);
}

TEST(RegPathTest, RegisteredProgramIsReportedWhenItsKeyValueAndFileExist) {
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv registry("HALCY_REGISTRY", dir.File("registry.reg"));
  const std::u16string bin = halcy::Utf8ToUtf16(dir.path()) + u"\\bin";
  halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"InstallDir", bin + u"\\");
  halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\App", u"Icon", u"app.ico");
  std::filesystem::create_directories(dir.path() + "/bin");
  std::vector<std::u16string> out;
  auto resolve = [&out](const std::u16string& root, const std::u16string& param) {
    const std::u16string manifest = u"{\"regpath\":{\"root\":\"" + root +
                                    u"\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"" +
                                    param + u"\",\"icon\":\"Icon\"},\"exename\":\"app.exe\",\"exeparam\":\"-g\"}";
    ScopedBstr a, b, c;
    const HRESULT hr =
        AgentWith(manifest.c_str())->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive());
    out = {std::u16string(a.View()), std::u16string(b.View()), std::u16string(c.View())};
    return hr;
  };
  EXPECT_EQ(S_FALSE, resolve(u"hkey_local_machine", u"InstallDir"));  // no file there yet
  EXPECT_EQ(u"", out[0]);
  testing_support::WriteFileOrDie(dir.File("bin/app.exe"), "");
  ASSERT_EQ(S_OK, resolve(u"hkey_local_machine", u"InstallDir"));
  EXPECT_EQ((std::vector<std::u16string>{bin + u"\\app.exe", u"-g", u"app.ico"}), out);
  EXPECT_EQ(E_FAIL, resolve(u"HKLM", u"InstallDir"));
  EXPECT_EQ(E_FAIL, resolve(u"HKEY_LOCAL_MACHINE", u"Missing"));
  ScopedBstr a, b, c;
  EXPECT_EQ(E_FAIL, AgentWith(u"{\"regpath\":\"HKEY_LOCAL_MACHINE\"}")
                        ->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive()));
}

}  // namespace
}  // namespace extension_testing
