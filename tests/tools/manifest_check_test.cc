// plexorectl manifest --check, run as a real process against extension folders: one bad
// manifest per row and the exact line it must produce, the shipped built-in set clean, and the
// --json form read back with the JSON reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "json/json_reader.h"
#include "json/utf8_text.h"
#include "support/temp_env.h"
#include "tool_runner.h"

namespace {

using testing_support::WriteFileOrDie;

// An extension folder with the files the rows name: icon.png, bg.html and lib.so (regular
// files), sub/ (a folder), link.png (a link to icon.png, inside the folder but still a link).
class ExtensionFolder {
 public:
  ExtensionFolder() {
    for (const char* name : {"icon.png", "bg.html", "lib.so"}) WriteFileOrDie(File(name), "x");
    std::filesystem::create_directory(File("sub"));
    std::filesystem::create_symlink("icon.png", File("link.png"));
  }
  std::string File(const std::string& name) const { return dir_.File("ext/" + name); }
  std::string path() const { return dir_.File("ext"); }

 private:
  testing_support::ScopedTempDir dir_;
  bool made_ = std::filesystem::create_directory(dir_.File("ext"));
};

plexore_test::ToolResult Check(const std::string& folder, bool json = false) {
  std::vector<std::string> args = {"manifest", "--check"};
  if (json) args.push_back("--json");
  args.push_back(folder);
  return plexore_test::RunTool(PLEXORECTL_PATH, args);
}

TEST(ManifestCheckTest, EachBadManifestGivesItsOneLine) {
  const struct {
    const char* manifest;
    const char* line;
  } cases[] = {
      {R"({"nmae":"x"})", R"(nmae: unknown key, ignored; did you mean "name"?)"},
      {R"({"Version":"1"})", R"(Version: unknown key, ignored; did you mean "version"?)"},
      {R"({"colour":"red"})", "colour: unknown key, ignored"},
      {"{\"a\\nb\":1}", R"(a\nb: unknown key, ignored)"},
      {R"({"version":1})", "version: should be a string, not a number; the manager ignores it"},
      {R"({"setupcommand":[]})",
       "setupcommand: should be an object, not an array; the manager ignores it"},
      {R"({"setupcommand":{"url":"u","parm":"p"}})",
       R"(setupcommand.parm: unknown key, ignored; did you mean "param"?)"},
      {R"({"lowestbrowser":"6.x"})",
       R"(lowestbrowser: "6.x" is not a version such as "6.5.1.2"; only its leading digits are compared)"},
      {R"({"lowestbrowser":"1.2.3.4.5"})",
       R"(lowestbrowser: "1.2.3.4.5" is not a version such as "6.5.1.2"; only its leading digits are compared)"},
      {R"({"accelerator":"Ctrl+Shift"})",
       R"(accelerator: "Ctrl+Shift" is not an accelerator such as "Ctrl+Shift+F5" (at most four keys joined by "+", one of them not SHIFT, CTRL or ALT); none is registered)"},
      {R"({"accelerator":"Ctrl+Alt+Shift+A+B"})",
       R"(accelerator: "Ctrl+Alt+Shift+A+B" is not an accelerator such as "Ctrl+Shift+F5" (at most four keys joined by "+", one of them not SHIFT, CTRL or ALT); none is registered)"},
      {R"({"accelerator":"Ctrl+Esc+A"})",
       R"(accelerator: "Esc" is not a key name (SHIFT, CTRL, ALT, F1 to F12, A to Z, 0 to 9); it is ignored)"},
      {R"({"pluginorder":"abc"})",
       R"(pluginorder: "abc" does not start with digits; it reads as 0)"},
      {R"({"pluginorder":"12ab"})", R"(pluginorder: "12ab" reads as 12)"},
      {R"({"pluginorder":true})",
       "pluginorder: should be a number, not true or false; the manager ignores it"},
      {R"({"setuponline":"yes"})", R"(setuponline: only "1" turns it on; "yes" reads as off)"},
      {R"({"regpath":{"root":"HKCU","path":"p"}})",
       R"(regpath.root: "HKCU" is not a predefined registry key such as "HKEY_CURRENT_USER"; the registry path is not read)"},
      {R"({"main_icon":"missing.png"})", R"(main_icon: "missing.png" does not exist)"},
      {R"({"main_icon":"../ext/icon.png"})",
       R"(main_icon: "../ext/icon.png" lies outside the extension's directory)"},
      {R"({"main_icon":"/etc/hostname"})",
       R"(main_icon: "/etc/hostname" lies outside the extension's directory)"},
      {R"({"main_icon":"link.png"})",
       R"(main_icon: "link.png" passes a symbolic link, which the manager does not follow)"},
      {R"({"librarypath":"sub"})", R"(librarypath: "sub" is not a regular file)"},
      {R"({"options_page":"gone.html#general"})", R"(options_page: "gone.html" does not exist)"},
      {R"({"background_page":"gone.html?x=1"})", R"(background_page: "gone.html" does not exist)"},
      {R"({"librarypath":"lib.so","background_page":"bg.html"})",
       R"(background_page: ignored: "librarypath" is given too, and only the native library is started)"},
      {R"({"permissions":["tabs"]})",
       R"(permissions[0]: "tabs" names no permission group and is not a URL pattern; it grants nothing)"},
      {R"({"permissions":["history","bokmarks"]})",
       R"(permissions[1]: "bokmarks" names no permission group and is not a URL pattern; it grants nothing; did you mean "bookmarks"?)"},
      {R"({"permissions":["http//*.a.com/*"]})",
       R"(permissions[0]: "http//*.a.com/*" is not a valid URL pattern (Missing scheme separator.); it grants nothing)"},
      {R"({"permissions":[7]})",
       "permissions[0]: should be a string, not a number; the manager ignores it"},
      {R"({"permissions":"history"})",
       "permissions: should be an array, not a string; the manager ignores it"},
      {R"({"toolbarui":"Translate"})",
       "toolbarui: should be an object, not a string; the manager ignores it"},
      {R"({"addressui":{"icongroup":{"normal":"icon.png","hover":"gone.png"}}})",
       R"(addressui.icongroup.hover: "gone.png" does not exist)"},
      {R"({"sidebarui":{"capton":"x"}})",
       R"(sidebarui.capton: unknown key, ignored; did you mean "caption"?)"},
      {R"({"toolbarui":{"width":[24]}})",
       "toolbarui.width: should be a number or a string, not an array"},
      {R"({"contextmenu":[{"text":"t","iconpath":"../icon.png"}]})",
       R"(contextmenu[0].iconpath: "../icon.png" lies outside the extension's directory)"},
      {R"({"contextmenu":[{"text":"t"},null]})",
       "contextmenu[1]: should be an object, not null; the manager ignores it"},
      {"{\"name\":", "manifest.json: is not valid JSON"},
      {"[1]", "manifest.json: should hold an object, not an array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.manifest);
    ExtensionFolder folder;
    WriteFileOrDie(folder.File("manifest.json"), c.manifest);
    const plexore_test::ToolResult result = Check(folder.path());
    EXPECT_EQ(1, result.exit_code);
    EXPECT_EQ(std::string(c.line) + "\n", result.out);
    EXPECT_EQ("", result.err);
  }
}

TEST(ManifestCheckTest, ValuesTheManagerTakesAsWrittenAreClean) {
  ExtensionFolder folder;
  WriteFileOrDie(folder.File("manifest.json"), R"({
    "name": "n", "version": "1.0", "lowestbrowser": "6.0", "accelerator": "alt+1",
    "pluginorder": "7", "setuponline": "1", "main_icon": "icon.png",
    "options_page": "bg.html#general", "background_page": "bg.html?x=1",
    "permissions": ["History", "nonpermissionfunction", "*://*.example.com/*", "<all_urls>"],
    "regpath": {"root": "hkey_current_user", "path": "p"},
    "toolbarui": {"icongroup": {"normal": "icon.png"}, "width": "24", "buttons": [1], "fe": {}},
    "contextmenu": [{"text": "t", "iconpath": "icon.png"}],
    "main_icon_unused_by_tests": 0
  })");
  // The one deliberate problem keeps the run honest: the checker did read this manifest.
  const plexore_test::ToolResult result = Check(folder.path());
  EXPECT_EQ("main_icon_unused_by_tests: unknown key, ignored\n", result.out);
  EXPECT_EQ(1, result.exit_code);
}

TEST(ManifestCheckTest, ManifestFileProblemsAreNamedAlone) {
  ExtensionFolder oversized;
  WriteFileOrDie(oversized.File("manifest.json"),
                 "{\"name\":\"" + std::string(1024 * 1024, 'x') + "\"}");
  ExtensionFolder linked;
  std::filesystem::create_symlink("icon.png", linked.File("manifest.json"));
  ExtensionFolder missing;
  const struct {
    const ExtensionFolder* folder;
    const char* line;
  } cases[] = {
      {&oversized,
       "manifest.json: is larger than 1048576 bytes, the largest manifest the manager installs"},
      {&linked, "manifest.json: is a symbolic link, which the manager does not follow"},
      {&missing, "manifest.json: does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const plexore_test::ToolResult result = Check(c.folder->path());
    EXPECT_EQ(1, result.exit_code);
    EXPECT_EQ(std::string(c.line) + "\n", result.out);
  }
}

TEST(ManifestCheckTest, ShippedBuiltInExtensionsAreClean) {
  for (const char* id : {"pagenotes", "translatebar", "weatherdesk"}) {
    SCOPED_TRACE(id);
    const std::string folder = std::string(PLEXORE_BUILTIN_DIR) + "/" + id;
    ASSERT_TRUE(std::filesystem::exists(folder + "/manifest.json"));
    const plexore_test::ToolResult result = Check(folder);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(0, result.exit_code);
  }
}

TEST(ManifestCheckTest, JsonOutputReadsBackAsTheTextLines) {
  ExtensionFolder folder;
  WriteFileOrDie(folder.File("manifest.json"),
                 "{\"na\\\"me\":1,\"main_icon\":\"a\\\\b\\n.png\",\"setuponline\":\"on\"}");
  const plexore_test::ToolResult text = Check(folder.path());
  const plexore_test::ToolResult json = Check(folder.path(), true);
  EXPECT_EQ(1, json.exit_code);
  const std::unique_ptr<Logic::CJsonValue> parsed = Logic::ParseJsonUtf8(json.out);
  ASSERT_TRUE(parsed && parsed->IsArray()) << json.out;
  const std::vector<std::string> lines = testing_support::SplitLines(text.out);
  ASSERT_EQ(3u, lines.size()) << text.out;
  ASSERT_EQ(lines.size(), parsed->GetArray().size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const Logic::CJsonValue& item = *parsed->GetArray()[i];
    ASSERT_TRUE(item.IsObject());
    ASSERT_EQ(2u, item.GetObject().size());
    const auto key = item.GetObject().find(u"key");
    const auto problem = item.GetObject().find(u"problem");
    ASSERT_TRUE(key != item.GetObject().end() && problem != item.GetObject().end());
    EXPECT_EQ(lines[i], Logic::EncodeUtf16ToUtf8(key->second->GetString()) + ": " +
                            Logic::EncodeUtf16ToUtf8(problem->second->GetString()));
  }
  EXPECT_EQ(R"(main_icon: "a\\b\n.png" lies outside the extension's directory)", lines[0]);
}

TEST(ManifestCheckTest, CleanFolderGivesAnEmptyJsonArray) {
  ExtensionFolder folder;
  WriteFileOrDie(folder.File("manifest.json"), R"({"name":"n","main_icon":"icon.png"})");
  const plexore_test::ToolResult result = Check(folder.path(), true);
  EXPECT_EQ("[]\n", result.out);
  EXPECT_EQ(0, result.exit_code);
}

TEST(ManifestCheckTest, WrongCommandLinesAreUsageErrors) {
  ExtensionFolder folder;
  WriteFileOrDie(folder.File("manifest.json"), "{}");
  const std::vector<std::vector<std::string>> cases = {
      {"manifest", "--check"},
      {"manifest", "--json", folder.path()},
      {"manifest", "--check", folder.path(), "extra"},
  };
  for (const auto& args : cases) {
    const plexore_test::ToolResult result = plexore_test::RunTool(PLEXORECTL_PATH, args);
    EXPECT_EQ(2, result.exit_code) << args.back();
    EXPECT_THAT(result.err, testing::HasSubstr("usage: plexorectl manifest"));
  }
}

}  // namespace
