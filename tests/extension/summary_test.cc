// The summary through which the front end lists an extension (its exact text, the flag
// answers, the string table's stand-in, the icon inlined as a data address, the options page)
// and the UI points' icons. Paths a manifest names never lead outside the extension's
// directory: such a path is ignored with one log line, and icons are bounded in bytes and
// pixels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/json_escape.h"
#include "extension/extension.h"
#include "extension/extension_paths.h"
#include "extension/extension_test_util.h"
#include "json/json_reader.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using halcy::Utf16ToUtf8;
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

// root/outside.png and root/outside.html, and the extension's directory root/ext holding an
// icon, an options page, links to the outside files, FIFOs and icons over the caps.
class SummaryTest : public ::testing::Test {
 protected:
  SummaryTest() : ext_(root_.path() + "/ext") {
    namespace fs = std::filesystem;
    fs::create_directories(ext_ + "/img");
    WriteFileOrDie(root_.File("outside.png"), MakeBmp(4, 4, 1, 2, 3));
    WriteFileOrDie(ext_ + "/img/n.png", MakeBmp(40, 30, 0, 128, 255));
    WriteFileOrDie(root_.File("outside.html"), "<html></html>");
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
  for (const auto& [flags, uninstall, disable] :
       {std::tuple{1, u"false", u"true"}, std::tuple{2, u"true", u"false"}}) {
    record_.SetFlags(flags);
    const std::u16string summary = Summary(u"{\"name\":\"x\"}");
    EXPECT_EQ(uninstall, Field(summary, u"uninstall")) << flags;
    EXPECT_EQ(disable, Field(summary, u"candisable")) << flags;
  }
  EXPECT_EQ(u"", record_.BuildSummary(Dir(), false));
  EXPECT_EQ(u"", Logic::CExtension().BuildSummary(Dir(), true));  // no manifest
}

TEST_F(SummaryTest, EmptyOrMistypedTextsShowTheUnknownResource) {
  record_.SetState(2);
  const std::u16string summary = Summary(u"{\"name\":5,\"version\":\"\",\"description\":[\"x\"]}");
  EXPECT_EQ(u"(unknown)", Field(summary, u"name"));
  EXPECT_EQ(u"(unknown)", Field(summary, u"developer"));
  EXPECT_EQ(u"(unknown)", Field(summary, u"version"));
  EXPECT_EQ(u"", Field(summary, u"description"));  // no stand-in for the description
  EXPECT_EQ(u"2", Field(summary, u"state"));
}

TEST_F(SummaryTest, IconTypeSelectsTheFormatWithoutRegardToCase) {
  // Every file is a bitmap; the data address starts with the Base64 of the format's magic.
  const std::pair<const char*, const char*> cases[] = {
      {"b.JPG", "data:image/JPG;base64,/9j/"}, {"c.jpeg", "data:image/jpeg;base64,/9j/"},
      {"d.Bmp", "data:image/Bmp;base64,Qk"},   {"e.GIF", "data:image/GIF;base64,R0lGOD"},
      {"f.ico", "data:image/ico;base64,iVBOR"}};
  for (const auto& [file, prefix] : cases) {
    WriteFileOrDie(ext_ + "/" + file, MakeBmp(40, 30, 0, 128, 255));
    const std::u16string icon = FieldFor(u"main_icon", halcy::Utf8ToUtf16(file), u"icon");
    EXPECT_TRUE(Utf16ToUtf8(icon).starts_with(prefix)) << file;
    // The Base64 text breaks its lines with CR LF.
    EXPECT_NE(std::u16string::npos, icon.find(u"\r\n")) << file;
  }
  // An extension below the data directory names it by its recorded path.
  const std::string data_dir = env_.appdata() + "/halcy/browser/SysData/localextensions/ext1";
  std::filesystem::create_directories(data_dir);
  WriteFileOrDie(data_dir + "/icon.png", MakeBmp(5, 5, 9, 9, 9));
  EXPECT_TRUE(FieldFor(u"main_icon", u"icon.png", u"icon", u"hcextdbpath/ext1")
                  .starts_with(u"data:image/png;base64,iVBOR"));
}

TEST_F(SummaryTest, IconsOutsideOrOverTheCapsAreEmptyWithOneLine) {
  const struct {
    const char16_t* path;
    const char16_t* reason;  // in the one log line; null: no line
  } cases[] = {
      {u"../out\nside.png", u"leads outside the extension's directory"},
      {u"link.png", u"symbolic link"},
      {u"fifo.png", u"not a regular file"},
      {u"big.bmp", u"larger than 1 MiB"},
      {u"wide.bmp", u"larger than 1024 x 1024 pixels"},
      {u"broken.png", u"size can be read"},
      {u"missing.png", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.path));
    LogCapture log;
    EXPECT_EQ(u"", FieldFor(u"main_icon", c.path, u"icon"));
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    ASSERT_EQ(c.reason ? 1u : 0u, lines.size());
    if (!c.reason) continue;
    EXPECT_EQ(64, lines[0].level);
    // The path is escaped: a line feed in it does not forge a second line.
    EXPECT_EQ(u"ext: extension 'hostile' in " + Dir() + u": main_icon \"" +
                  Logic::EscapeJsonText(c.path) + u"\" ignored, ",
              lines[0].text.substr(0, lines[0].text.find(u"ignored, ") + 9));
    EXPECT_NE(std::u16string::npos, lines[0].text.find(c.reason));
  }
}

TEST_F(SummaryTest, AnOptionsPageIsGivenOnlyWhenItIsAFileInsideIgnoringTheFragment) {
  std::u16string dir = Dir();  // as the summary writes it, with backslashes
  std::replace(dir.begin(), dir.end(), u'/', u'\\');
  const std::tuple<const char16_t*, std::u16string, size_t> cases[] = {
      {u"a/../../outside.html#general", u"", 1}, {u"link.html", u"", 1},
      {u"fifo.html", u"", 1},                    {u"missing.html#general", u"", 0},
      {u"opt.html#general", dir + u"\\opt.html#general", 0}};
  for (const auto& [page, expected, lines] : cases) {
    LogCapture log;
    EXPECT_EQ(expected, FieldFor(u"options_page", page, u"optionpage")) << Utf16ToUtf8(page);
    EXPECT_EQ(lines, log.LinesWithTag(u"ext;").size()) << Utf16ToUtf8(page);
  }
  // The directory's separators become backslashes; the manifest's path is kept as written.
  EXPECT_EQ(dir + u"\\\\img/n.png", FieldFor(u"options_page", u"img/n.png", u"optionpage", Dir() + u"/"));
}

// A string at `group`/`name` of a point's JSON text.
std::u16string Icon(const std::u16string& json, const char16_t* group, const char16_t* name) {
  auto value = Logic::ParseJson(json);
  if (!value || !value->IsObject()) return u"<not an object>";
  const auto& g = value->GetObject().find(std::u16string_view(group))->second;
  return g->GetObject().find(std::u16string_view(name))->second->GetString();
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
    const std::u16string& toolbar = points[0].second;
    const std::u16string& address = points[1].second;
    EXPECT_EQ(u"", Icon(address, u"icongroup", u"normal"));
    // An icon named twice is made absolute in both places, once each.
    EXPECT_EQ(Dir() + u"\\img/n.png", Icon(address, u"icongroup", u"press"));
    EXPECT_EQ(Dir() + u"\\img/n.png", Icon(address, u"icongroup", u"hover"));
    // A missing file is still named; the toolbar's pressed icon is not a path of it.
    EXPECT_EQ(Dir() + u"\\missing.png", Icon(toolbar, u"icongroup", u"normal"));
    EXPECT_EQ(u"img/n.png", Icon(toolbar, u"icongroup", u"press"));
    EXPECT_EQ(u"", Icon(toolbar, u"animation_icon", u"path"));
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::u16string::npos, lines[0].text.find(u"toolbarui/animation_icon/path"));
    EXPECT_NE(std::u16string::npos, lines[1].text.find(u"addressui/icongroup/normal"));
  }
}

}  // namespace
}  // namespace extension_testing
