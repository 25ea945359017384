// The extension record: what the browser reads through IExtensionAgent (refusals of bad input,
// the manifest's typed values, accelerators, the program a registry declaration leads to), the
// summary the front end lists it by (its exact text, the flag answers, the string table's
// stand-in, the icon inlined as a data address, the options page) and the UI points' icons. Paths a
// manifest names never lead outside the extension's directory: such a path is ignored with one log
// line, and icons are bounded in bytes and pixels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "common/json_escape.h"
#include "extension/accelerator.h"
#include "extension/extension.h"
#include "extension/extension_agent.h"
#include "extension/extension_paths.h"
#include "extension/extension_test_util.h"
#include "json/json_reader.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

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

TEST(ExtensionAgentTest, EmptyIdAndAManifestThatIsNotAnObjectAreRefused) {
  const char16_t* old_text = u"{\"name\":\"Old\",\"version\":\"1.0\"}";
  ComPtr<Agent> agent = AgentWith(old_text);
  ScopedBstr id(u"ext.id"), empty(u""), directory(u"C:\\x\\/\\");
  EXPECT_EQ(S_OK, agent->SetId(id.Get()));
  EXPECT_EQ(S_FALSE, agent->SetId(empty.Get()));
  EXPECT_EQ(u"hcbrowser://localextensions/ext.id/", Get(agent.Get(), &Agent::GetBaseUrl));
  EXPECT_EQ(S_OK, agent->SetDirectory(directory.Get()));  // trailing separators go
  EXPECT_EQ(u"C:\\x", Get(agent.Get(), &Agent::GetDirectory));
  for (const char16_t* refused : {u"[{\"name\":\"New\"}]", u"{\"name\":"}) {
    ScopedBstr text(refused);
    EXPECT_EQ(S_OK, agent->SetManifest(text.Get()));
    EXPECT_EQ(old_text, Get(agent.Get(), &Agent::GetManifest)) << Utf16ToUtf8(refused);
  }
  // No text at all, and a text cut short by a NUL before its closing brace, are refused too.
  ScopedBstr cut(std::u16string_view(u"{\"name\":\"Cut\"\0}", 15));
  for (BSTR refused : {static_cast<BSTR>(nullptr), cut.Get()}) {
    EXPECT_EQ(S_OK, agent->SetManifest(refused));
    EXPECT_EQ(old_text, Get(agent.Get(), &Agent::GetManifest));
  }
  ScopedBstr text(u"{\"name\":\"New\"}");
  ASSERT_EQ(S_OK, agent->SetManifest(text.Get()));
  EXPECT_EQ(u"New", Get(agent.Get(), &Agent::GetName));
  EXPECT_EQ(u"", Get(agent.Get(), &Agent::GetVersion));
}

TEST(ExtensionAgentTest, TextValuesAreReadByTheirExactKeyAndType) {
  const std::tuple<const char16_t*, HRESULT (Agent::*)(BSTR*), HRESULT, const char16_t*> cases[] = {
      {u"{\"Name\":\"Upper\"}", &Agent::GetName, S_OK, u""},  // null: no manifest
      {nullptr, &Agent::GetManifest, S_FALSE, u""},
      {u"{\"librarypath\":\"\"}", &Agent::GetLibraryPath, S_FALSE, u""},
      {nullptr, &Agent::GetLowestBrowser, S_OK, u"0.0.0.0"},
      {u"{\"contextmenu\": [ {\"text\" : \"Look\", \"contexttype\":\"2\"} ]}",
       &Agent::GetContextMenu, S_OK, u"[{\"contexttype\":\"2\",\"text\":\"Look\"}]"},
      {u"{\"contextmenu\":{}}", &Agent::GetContextMenu, S_FALSE, u""}};
  for (const auto& [manifest, get, expected_hr, text] : cases) {
    HRESULT hr = E_UNEXPECTED;
    EXPECT_EQ(text, Get(AgentWith(manifest).Get(), get, &hr))
        << (manifest ? Utf16ToUtf8(manifest) : "");
    EXPECT_EQ(expected_hr, hr) << (manifest ? Utf16ToUtf8(manifest) : "");
  }
}

TEST(ExtensionAgentTest, PluginOrderTruncatesNumbersAndReadsTheDigitsOfAText) {
  constexpr LONG kMax = std::numeric_limits<int32_t>::max();
  // The caller's 55 stays when nothing is read.
  const std::tuple<const char16_t*, HRESULT, LONG> cases[] = {
      {u"{\"pluginorder\":3.9}", S_OK, 3},      {u"{\"pluginorder\":\"12ab\"}", S_OK, 12},
      {u"{\"pluginorder\":1e20}", S_OK, kMax},  {u"{\"pluginorder\":-1e20}", S_OK, -kMax - 1},
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
  EXPECT_EQ((std::vector<std::u16string>{u"tabs", u"http://*/*", u"tabs", u""}), Items(list.Get()));
}

TEST(AcceleratorTest, ParsesModifiersAndKeys) {
  // The hot-key word, 0 for a refused text.
  const std::pair<const char16_t*, uint16_t> cases[] = {
      {u"Ctrl+Shift+F5", 0x0374}, {u"ALT+0", 0x0430}, {u"ALT+9", 0x0439},
      {u"alt+z", 0x045A},         {u"F12", 0x007B},   {u"f10", 0x0079},
      {u"A+B+ALT+SHIFT", 0x0542}, {u"CTRL+SHIFT", 0}, {u"CTRL+A+B+C+D", 0},
      {u"CTRL+A+Foo", 0},         {u"CTRL+F13", 0},   {u"CTRL+F0", 0},
      {u"CTRL+ESC", 0},           {u"CTRL+-", 0},
  };
  for (const auto& [text, expected] : cases) {
    uint16_t word = 0;
    EXPECT_EQ(expected != 0, Logic::ParseAccelerator(text, &word)) << Utf16ToUtf8(text);
    EXPECT_EQ(expected, word) << Utf16ToUtf8(text);
  }
  WORD hotkey = 0;
  EXPECT_EQ(S_OK, AgentWith(u"{\"accelerator\":\"ALT+6\"}")->GetAccelerator(&hotkey));
  EXPECT_EQ(0x0436, hotkey);
  EXPECT_EQ(E_FAIL, AgentWith(u"{\"accelerator\":\"CTRL+SHIFT\"}")->GetAccelerator(&hotkey));
  EXPECT_EQ(E_FAIL, AgentWith(u"{}")->GetAccelerator(&hotkey));
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
    const std::u16string manifest =
        u"{\"regpath\":{\"root\":\"" + root +
        u"\",\"path\":\"SOFTWARE\\\\Vendor\\\\App\",\"param\":\"" + param +
        u"\",\"icon\":\"Icon\"},\"exename\":\"app.exe\",\"exeparam\":\"-g\"}";
    ScopedBstr a, b, c;
    const HRESULT hr =
        AgentWith(manifest.c_str())->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive());
    out = {std::u16string(a.View()), std::u16string(b.View()), std::u16string(c.View())};
    return hr;
  };
  EXPECT_EQ(S_FALSE, resolve(u"hkey_local_machine", u"InstallDir"));  // no file there yet
  testing_support::WriteFileOrDie(dir.File("bin/app.exe"), "");
  ASSERT_EQ(S_OK, resolve(u"hkey_local_machine", u"InstallDir"));
  EXPECT_EQ((std::vector<std::u16string>{bin + u"\\app.exe", u"-g", u"app.ico"}), out);
  EXPECT_EQ(E_FAIL, resolve(u"HKLM", u"InstallDir"));
  EXPECT_EQ(E_FAIL, resolve(u"HKEY_LOCAL_MACHINE", u"Missing"));
  ScopedBstr a, b, c;
  EXPECT_EQ(E_FAIL, AgentWith(u"{\"regpath\":\"HKEY_LOCAL_MACHINE\"}")
                        ->GetRegPathProgram(a.Receive(), b.Receive(), c.Receive()));
}

using testing_support::LogCapture;
using testing_support::LogLine;
using testing_support::WriteFileOrDie;

TEST(ManifestPathTest, OnlyRelativePathsWithoutAWayOutAreInside) {
  const std::pair<const char16_t*, bool> cases[] = {
      {u"img/n.png", true},   {u"img\\n.png", true},   {u"a.b/c..d.png", true},
      {u"a b.png", true},     {u"a\u00a0b.png", true}, {u"", false},
      {u"a/../../x", false},  {u"..", false},          {u"a/./x.png", false},
      {u"/etc/x.png", false}, {u"\\\\srv\\x", false},  {u"C:x.png", false},
      {u"a//x.png", false},   {u"img/", false},        {u"a\u001fb", false},
      {u"a\u007fb", false},   {u"a\u009fb", false}};
  for (const auto& [path, inside] : cases) {
    EXPECT_EQ(inside, Logic::IsPathInsideExtension(path)) << Utf16ToUtf8(path);
  }
}

TEST(ExtensionPathTest, OnlyTheStoredPrefixIsReplacedByTheGivenDataDirectory) {
  const std::u16string data = u"C:\\data\\SysData\\localextensions";
  const struct {
    std::u16string path, resolved;
  } cases[] = {{u"hcextdbpath/abc", data + u"\\abc"},
               {u"hcextdbpath\\abc\\sub", data + u"\\abc\\sub"},
               {u"hcextdbpath/", data + u"\\"},
               {u"hcextdbpath", u"hcextdbpath"},  // no separator: not the prefix
               {u"hcextdbpathx/abc", u"hcextdbpathx/abc"},
               {u"HCEXTDBPATH/abc", u"HCEXTDBPATH/abc"},  // matched exactly
               {u"D:\\elsewhere\\abc", u"D:\\elsewhere\\abc"},
               {u"", u""}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.resolved, Logic::ResolveExtensionPath(c.path, data)) << Utf16ToUtf8(c.path);
  }
}

// The extension's directory root/ext, holding an icon, an options page, links to files beside it
// (a link is refused whether or not its target exists), FIFOs and icons over the caps.
class SummaryTest : public ::testing::Test {
 protected:
  SummaryTest() : ext_(root_.path() + "/ext") {
    namespace fs = std::filesystem;
    fs::create_directories(ext_ + "/img");
    WriteFileOrDie(ext_ + "/img/n.png", MakeBmp(40, 30, 0, 128, 255));
    WriteFileOrDie(ext_ + "/opt.html", "<html></html>");
    WriteFileOrDie(ext_ + "/big.bmp", MakeBmp(700, 520, 9, 9, 9));  // 1 092 054 bytes
    WriteFileOrDie(ext_ + "/wide.bmp", MakeBmp(1025, 1, 9, 9, 9));
    WriteFileOrDie(ext_ + "/broken.png", "this is not an image at all");
    fs::create_symlink(root_.File("outside.png"), ext_ + "/link.png");
    fs::create_symlink(root_.File("outside.html"), ext_ + "/link.html");
    EXPECT_EQ(0, ::mkfifo((ext_ + "/fifo.png").c_str(), 0600));
    EXPECT_EQ(0, ::mkfifo((ext_ + "/fifo.html").c_str(), 0600));
    record_.SetId(u"hostile");
  }

  std::u16string Dir() const { return halcy::Utf8ToUtf16(ext_); }
  // The summary of `manifest`, paths resolved against `directory` (Dir() when empty).
  std::u16string Summary(const std::u16string& manifest, const std::u16string& directory = u"") {
    EXPECT_TRUE(record_.SetManifest(manifest)) << Utf16ToUtf8(manifest);
    return record_.BuildSummary(directory.empty() ? Dir() : directory, true);
  }
  // One field of a summary, read back as JSON.
  static std::u16string Field(const std::u16string& summary, const char16_t* key) {
    auto value = Logic::ParseJson(summary);
    if (!value || !value->IsObject()) return u"<not an object>";
    return value->GetObject().find(std::u16string_view(key))->second->GetString();
  }
  // The summary's field `key` for a manifest whose `member` is `path`.
  std::u16string FieldFor(const char16_t* member, const std::u16string& path, const char16_t* key,
                          const std::u16string& directory = u"") {
    const std::u16string manifest =
        u"{\"" + std::u16string(member) + u"\":\"" + Logic::EscapeJsonText(path) + u"\"}";
    return Field(Summary(manifest, directory), key);
  }

  BrowserEnvironment env_;
  testing_support::ScopedTempDir root_;
  std::string ext_;
  Logic::CExtension record_;
};

TEST_F(SummaryTest, FlagsSayWhetherToOfferUninstallAndDisableByteForByte) {
  record_.SetId(u"de\"mo");
  record_.SetFlags(3);
  // Every text is escaped for JSON; the solidus is kept.
  EXPECT_EQ(
      u"{ \"id\":\"de\\\"mo\",\"name\":\"De/mo\",\"icon\":\"\",\"developer\":\"Halcy\","
      u"\"version\":\"1.2.3\",\"description\":\"Says \\\"hi\\\"\\n\",\"optionpage\":\"\","
      u"\"state\":\"1\", \"uninstall\":\"false\", \"candisable\":\"false\"}",
      Summary(u"{\"name\":\"De/mo\",\"developer\":\"Halcy\",\"version\":\"1.2.3\","
              u"\"description\":\"Says \\\"hi\\\"\\n\"}"));
  record_.SetFlags(1);
  EXPECT_TRUE(Summary(u"{}").ends_with(u"\"uninstall\":\"false\", \"candisable\":\"true\"}"));
  record_.SetFlags(2);
  EXPECT_TRUE(Summary(u"{}").ends_with(u"\"uninstall\":\"true\", \"candisable\":\"false\"}"));
  EXPECT_EQ(u"", record_.BuildSummary(Dir(), false));
  EXPECT_EQ(u"", Logic::CExtension().BuildSummary(Dir(), true));  // no manifest
}

TEST_F(SummaryTest, EmptyOrMistypedTextsShowTheUnknownResourceButTheDescription) {
  record_.SetState(2);
  record_.SetFlags(4);  // no flag of the summary's
  EXPECT_EQ(
      u"{ \"id\":\"hostile\",\"name\":\"(unknown)\",\"icon\":\"\",\"developer\":\"(unknown)\","
      u"\"version\":\"(unknown)\",\"description\":\"\",\"optionpage\":\"\",\"state\":\"2\", "
      u"\"uninstall\":\"true\", \"candisable\":\"true\"}",
      Summary(u"{\"name\":5,\"version\":\"\",\"description\":[\"x\"]}"));
}

TEST_F(SummaryTest, IconTypeSelectsTheFormatWithoutRegardToCase) {
  // Every file is a bitmap; the data address starts with the Base64 of the format's magic.
  const std::pair<const char*, const char*> cases[] = {
      {"b.JPG", "JPG;base64,/9j/"},   {"c.jpeg", "jpeg;base64,/9j/"}, {"d.Bmp", "Bmp;base64,Qk"},
      {"e.GIF", "GIF;base64,R0lGOD"}, {"f.ico", "ico;base64,iVBOR"},
  };
  for (const auto& [file, type] : cases) {
    WriteFileOrDie(ext_ + "/" + file, MakeBmp(40, 30, 0, 128, 255));
    EXPECT_TRUE(Utf16ToUtf8(FieldFor(u"main_icon", halcy::Utf8ToUtf16(file), u"icon"))
                    .starts_with(std::string("data:image/") + type))
        << file;
  }
  // An extension below the data directory names it by its recorded path.
  const std::string data_dir = env_.appdata() + "/halcy/browser/SysData/localextensions/ext1";
  std::filesystem::create_directories(data_dir);
  WriteFileOrDie(data_dir + "/icon.png", MakeBmp(5, 5, 9, 9, 9));
  EXPECT_TRUE(FieldFor(u"main_icon", u"icon.png", u"icon", u"hcextdbpath/ext1")
                  .starts_with(u"data:image/png;base64,iVBOR"));
}

TEST_F(SummaryTest, IconsOutsideOrOverTheCapsAreEmptyWithOneLine) {
  // The reason in the one log line; null: no line.
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"../out\nside.png", u"leads outside the extension's directory"},
      {u"link.png", u"symbolic link"},
      {u"fifo.png", u"not a regular file"},
      {u"big.bmp", u"larger than 1 MiB"},
      {u"wide.bmp", u"larger than 1024 x 1024 pixels"},
      {u"broken.png", u"size can be read"},
      {u"missing.png", nullptr}};
  for (const auto& [path, reason] : cases) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    LogCapture log;
    EXPECT_EQ(u"", FieldFor(u"main_icon", path, u"icon"));
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    ASSERT_EQ(reason ? 1u : 0u, lines.size());
    if (!reason) continue;
    EXPECT_EQ(64, lines[0].level);
    // The path is escaped: a line feed in it does not forge a second line.
    EXPECT_EQ(u"ext: extension 'hostile' in " + Dir() + u": main_icon \"" +
                  Logic::EscapeJsonText(path) + u"\" ignored, ",
              lines[0].text.substr(0, lines[0].text.find(u"ignored, ") + 9));
    EXPECT_NE(std::u16string::npos, lines[0].text.find(reason));
  }
}

TEST_F(SummaryTest, AnOptionsPageIsGivenOnlyWhenItIsAFileInsideIgnoringTheFragment) {
  std::u16string dir = Dir();  // as the summary writes it, with backslashes
  std::replace(dir.begin(), dir.end(), u'/', u'\\');
  const std::tuple<const char16_t*, std::u16string, size_t> cases[] = {
      {u"a/../../outside.html#general", u"", 1},
      {u"link.html", u"", 1},
      {u"fifo.html", u"", 1},
      {u"missing.html#general", u"", 0},
      {u"opt.html#general", dir + u"\\opt.html#general", 0}};
  for (const auto& [page, expected, lines] : cases) {
    LogCapture log;
    EXPECT_EQ(expected, FieldFor(u"options_page", page, u"optionpage")) << Utf16ToUtf8(page);
    EXPECT_EQ(lines, log.LinesWithTag(u"ext;").size()) << Utf16ToUtf8(page);
  }
}

TEST_F(SummaryTest, AUiPointIconOutsideTheDirectoryIsDroppedWithOneLineAndTheRestMadeAbsolute) {
  // ":" is a path that is also JSON structure.
  for (const std::u16string path : {u"../outside.png", u"link.png", u"fifo.png", u":"}) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    const std::u16string way_out = u"\"" + Logic::EscapeJsonText(path) + u"\"";
    ASSERT_TRUE(record_.SetManifest(
        u"{\"addressui\":{\"icongroup\":{\"normal\":" + way_out +
        u",\"press\":\"img/n.png\",\"hover\":\"img/n.png\"}},\"toolbarui\":{\"icongroup\":"
        u"{\"normal\":\"missing.png\",\"press\":\"img/n.png\"},\"animation_icon\":{\"path\":" +
        way_out + u"}}}"));
    LogCapture log;
    // Spaces and separators at the directory's end are dropped.
    const auto points = record_.BuildUIPoints(Dir() + u"/ ");
    ASSERT_EQ(2u, points.size());
    // The way out is emptied; a missing file is still named; an icon named twice is made
    // absolute in both places, once each; the toolbar's pressed icon is not a path of it.
    const std::u16string n_png = Logic::EscapeJsonText(Dir() + u"\\img/n.png");
    EXPECT_EQ(u"{\"animation_icon\":{\"path\":\"\"},\"icongroup\":{\"normal\":\"" +
                  Logic::EscapeJsonText(Dir() + u"\\missing.png") +
                  u"\",\"press\":\"img\\/n.png\"}}",
              points[0].second);
    EXPECT_EQ(u"{\"icongroup\":{\"hover\":\"" + n_png + u"\",\"normal\":\"\",\"press\":\"" + n_png +
                  u"\"}}",
              points[1].second);
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::u16string::npos, lines[0].text.find(u"toolbarui/animation_icon/path"));
    EXPECT_NE(std::u16string::npos, lines[1].text.find(u"addressui/icongroup/normal"));
  }
}

}  // namespace
}  // namespace extension_testing
