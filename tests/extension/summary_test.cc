#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "extension/extension.h"
#include "extension/extension_test_util.h"
#include "json/json_reader.h"
#include "platform/string_resources.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace {

using extension_testing::BrowserEnvironment;
using extension_testing::DecodeBase64;
using extension_testing::MakeBmp;
using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using Logic::CExtension;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

uint32_t ReadBe32(const std::string& s, size_t at) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8) |
         static_cast<uint8_t>(s[at + 3]);
}

uint32_t ReadLe(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

class SummaryTest : public ::testing::Test {
 protected:
  // The extension directory in the form the system passes it: backslashes after the temp root.
  std::u16string Dir() const { return Utf8ToUtf16(ext_dir_.path()); }
  // `Dir()` as the summary writes paths: every "/" a backslash, then "\" and the name.
  std::u16string Resolved(const std::u16string& name) const {
    std::u16string path = Dir() + u"\\" + name;
    for (char16_t& c : path) {
      if (c == u'/') c = u'\\';
    }
    return path;
  }

  // The summary parsed back, so that each field can be read.
  std::unique_ptr<Logic::CJsonValue> Parsed(const std::u16string& summary) {
    auto value = Logic::ParseJson(summary);
    EXPECT_TRUE(value && value->IsObject()) << Utf16ToUtf8(summary);
    return value;
  }
  std::u16string Field(const Logic::CJsonValue& summary, const char16_t* key) {
    auto it = summary.GetObject().find(std::u16string_view(key));
    return it == summary.GetObject().end() ? u"<missing>" : it->second->GetString();
  }

  // The icon's bytes: the data address's Base64 decoded; checks the prefix on the way.
  std::string IconBytes(const std::u16string& summary, const std::string& type) {
    auto parsed = Parsed(summary);
    if (!parsed) return std::string();
    const std::string icon = Utf16ToUtf8(Field(*parsed, u"icon"));
    const std::string prefix = "data:image/" + type + ";base64,";
    EXPECT_EQ(prefix, icon.substr(0, prefix.size()));
    return DecodeBase64(icon.substr(prefix.size()));
  }

  BrowserEnvironment env_;
  ScopedTempDir ext_dir_;
  CExtension ext_;
};

TEST_F(SummaryTest, FlagsThreeSayNeitherUninstallNorDisableByteForByte) {
  ext_.SetId(u"demo");
  ext_.SetFlags(3);
  ASSERT_TRUE(
      ext_.SetManifest(u"{\"name\":\"Demo\",\"developer\":\"Halcy\",\"version\":\"1.2.3\","
                       u"\"description\":\"Says \\\"hi\\\"\"}"));
  EXPECT_EQ(
      u"{ \"id\":\"demo\",\"name\":\"Demo\",\"icon\":\"\",\"developer\":\"Halcy\","
      u"\"version\":\"1.2.3\",\"description\":\"Says \\\"hi\\\"\",\"optionpage\":\"\","
      u"\"state\":\"1\", \"uninstall\":\"false\", \"candisable\":\"false\"}",
      ext_.BuildSummary(Dir(), true));
}

TEST_F(SummaryTest, EachFlagBitControlsOneAnswer) {
  ASSERT_TRUE(ext_.SetManifest(u"{\"name\":\"x\"}"));
  const std::pair<int32_t, std::pair<const char16_t*, const char16_t*>> cases[] = {
      {0, {u"true", u"true"}},
      {1, {u"false", u"true"}},
      {2, {u"true", u"false"}},
      {4, {u"true", u"true"}},
  };
  for (const auto& [flags, answers] : cases) {
    ext_.SetFlags(flags);
    auto parsed = Parsed(ext_.BuildSummary(Dir(), true));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(answers.first, Field(*parsed, u"uninstall")) << flags;
    EXPECT_EQ(answers.second, Field(*parsed, u"candisable")) << flags;
  }
}

TEST_F(SummaryTest, FlagClearOrNoManifestGivesNothing) {
  EXPECT_EQ(u"", ext_.BuildSummary(Dir(), true));
  ASSERT_TRUE(ext_.SetManifest(u"{\"name\":\"x\"}"));
  EXPECT_EQ(u"", ext_.BuildSummary(Dir(), false));
}

TEST_F(SummaryTest, EmptyOrMistypedTextsShowTheUnknownResource) {
  ext_.SetId(u"n");
  ext_.SetState(2);
  ASSERT_TRUE(ext_.SetManifest(u"{\"name\":5,\"version\":\"\"}"));
  auto parsed = Parsed(ext_.BuildSummary(Dir(), true));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(u"(unknown)", Field(*parsed, u"name"));
  EXPECT_EQ(u"(unknown)", Field(*parsed, u"developer"));
  EXPECT_EQ(u"(unknown)", Field(*parsed, u"version"));
  EXPECT_EQ(u"", Field(*parsed, u"description"));  // no stand-in for the description
  EXPECT_EQ(u"2", Field(*parsed, u"state"));
}

TEST_F(SummaryTest, TextsAreEscapedForJsonButTheSolidusIsKept) {
  ext_.SetId(u"a\"b");
  ASSERT_TRUE(
      ext_.SetManifest(u"{\"name\":\"x/y\",\"description\":\"line1\\nline2\\t\\\\end\\u0001\"}"));
  const std::u16string summary = ext_.BuildSummary(Dir(), true);
  EXPECT_NE(std::u16string::npos, summary.find(u"\"id\":\"a\\\"b\""));
  EXPECT_NE(std::u16string::npos, summary.find(u"\"name\":\"x/y\""));
  EXPECT_NE(std::u16string::npos,
            summary.find(u"\"description\":\"line1\\nline2\\t\\\\end\\u0001\""));
}

TEST_F(SummaryTest, ShippedStringTableNamesEveryResourceTheModuleUses) {
  // The table the browser installs beside its executable.
  WriteFileOrDie(env_.browser_dir() + "/halcy_strings.txt",
                 testing_support::ReadFileOrEmpty(PLEXORE_SHIPPED_STRING_TABLE));
  for (const char16_t* name :
       {u"IDS_EXTENSION_UNKNOWN", u"IDS_EXTENSION_SORRY", u"IDS_HALCY_EXTENSIONGUILD_NET_CHECK",
        u"IDS_HALCY_EXTENSIONGUILD_INSTALL_PREPARE", u"IDS_HALCY_EXTENSIONGUILD_INSTALL_OK",
        u"IDS_HALCY_EXTENSIONGUILD_INSTALL_FAIL", u"IDS_HALCY_EXTENSIONGUILD_NET_ERROR"}) {
    EXPECT_NE(u"", Help::String::LoadStringW(name)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(u"", Help::String::LoadStringW(u"IDS_NOT_THERE"));
}

TEST_F(SummaryTest, StringTableIsReadAgainWhenItChanges) {
  EXPECT_EQ(u"(unknown)", Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN"));
  WriteFileOrDie(env_.browser_dir() + "/halcy_strings.txt",
                 "IDS_EXTENSION_UNKNOWN=changed text, longer\nIDS_MULTI=a\\nb\\\\c\n");
  EXPECT_EQ(u"changed text, longer", Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN"));
  EXPECT_EQ(u"a\nb\\c", Help::String::LoadStringW(u"IDS_MULTI"));
  std::filesystem::remove(env_.browser_dir() + "/halcy_strings.txt");
  EXPECT_EQ(u"", Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN"));
}

// --- The icon ---

TEST_F(SummaryTest, PngIconBecomesADataAddressWithLineBreaks) {
  WriteFileOrDie(ext_dir_.File("icon.png"), MakeBmp(40, 30, 255, 0, 0));  // content decides
  ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"icon.png\"}"));
  const std::u16string summary = ext_.BuildSummary(Dir(), true);
  // The Base64 text breaks its lines with CR LF, which the summary carries escaped.
  EXPECT_NE(std::u16string::npos, summary.find(u"\\r\\n"));
  const std::string png = IconBytes(summary, "png");
  ASSERT_GE(png.size(), 24u);
  EXPECT_EQ("\x89PNG\r\n\x1a\n", png.substr(0, 8));
  EXPECT_EQ("IHDR", png.substr(12, 4));
  EXPECT_EQ(40u, ReadBe32(png, 16));
  EXPECT_EQ(30u, ReadBe32(png, 20));
}

TEST_F(SummaryTest, IconTypeSelectsTheFormatWithoutRegardToCase) {
  struct Case {
    const char* file;
    std::string type;
    std::string magic;
  };
  const Case cases[] = {
      {"a.JPG", "JPG", "\xFF\xD8\xFF"}, {"b.jpeg", "jpeg", "\xFF\xD8\xFF"},
      {"c.Bmp", "Bmp", "BM"},           {"d.GIF", "GIF", "GIF8"},
      {"e.ico", "ico", "\x89PNG"},      {"f.webp", "webp", "\x89PNG"},
  };
  for (const Case& c : cases) {
    WriteFileOrDie(ext_dir_.File(c.file), MakeBmp(8, 4, 0, 128, 255));
    ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"" + Utf8ToUtf16(c.file) + u"\"}"));
    const std::string bytes = IconBytes(ext_.BuildSummary(Dir(), true), c.type);
    EXPECT_EQ(c.magic, bytes.substr(0, c.magic.size())) << c.file;
  }
}

TEST_F(SummaryTest, BmpIconKeepsItsPixels) {
  WriteFileOrDie(ext_dir_.File("icon.bmp"), MakeBmp(3, 2, 10, 20, 30));
  ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"icon.bmp\"}"));
  const std::string bmp = IconBytes(ext_.BuildSummary(Dir(), true), "bmp");
  ASSERT_GE(bmp.size(), 54u);
  EXPECT_EQ(3u, ReadLe(bmp, 18, 4));
  EXPECT_EQ(2u, ReadLe(bmp, 22, 4));
  const uint32_t offset = ReadLe(bmp, 10, 4);
  const uint32_t bpp = ReadLe(bmp, 28, 2);
  ASSERT_TRUE(bpp == 24 || bpp == 32) << bpp;
  ASSERT_GT(bmp.size(), offset + 3);
  EXPECT_EQ(30, static_cast<uint8_t>(bmp[offset]));  // blue, green, red
  EXPECT_EQ(20, static_cast<uint8_t>(bmp[offset + 1]));
  EXPECT_EQ(10, static_cast<uint8_t>(bmp[offset + 2]));
}

// An icon file holding one image (a bitmap without its file header, its height doubled for
// the mask, or a PNG), as icon editors write them.
std::string MakeIco(const std::string& image, int width, int height) {
  std::string ico("\0\0\1\0\1\0", 6);
  ico.push_back(static_cast<char>(width));
  ico.push_back(static_cast<char>(height));
  ico.append(std::string("\0\0\1\0\x18\0", 6));
  for (uint32_t v : {static_cast<uint32_t>(image.size()), 22u}) {
    for (int i = 0; i < 4; ++i) ico.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  return ico + image;
}

TEST_F(SummaryTest, IcoIconsHoldingABitmapOrAPngAreRead) {
  std::string dib = MakeBmp(6, 4, 200, 100, 50).substr(14);
  dib[8] = 8;                    // the height of colour and mask images together
  dib.append(size_t{16}, '\0');  // the mask: one 32-bit row for each of the 4 lines
  WriteFileOrDie(ext_dir_.File("bitmap.ico"), MakeIco(dib, 6, 4));
  ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"bitmap.ico\"}"));
  const std::string from_bitmap = IconBytes(ext_.BuildSummary(Dir(), true), "ico");
  ASSERT_GE(from_bitmap.size(), 24u);
  EXPECT_EQ("\x89PNG", from_bitmap.substr(0, 4));
  EXPECT_EQ(6u, ReadBe32(from_bitmap, 16));
  EXPECT_EQ(4u, ReadBe32(from_bitmap, 20));

  WriteFileOrDie(ext_dir_.File("png.ico"), MakeIco(from_bitmap, 6, 4));
  ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"png.ico\"}"));
  const std::string from_png = IconBytes(ext_.BuildSummary(Dir(), true), "ico");
  ASSERT_GE(from_png.size(), 24u);
  EXPECT_EQ(6u, ReadBe32(from_png, 16));
  EXPECT_EQ(4u, ReadBe32(from_png, 20));
}

TEST_F(SummaryTest, IconThatCannotBeReadGivesAnEmptyIcon) {
  WriteFileOrDie(ext_dir_.File("broken.png"), "this is not an image at all");
  WriteFileOrDie(ext_dir_.File("truncated.bmp"), MakeBmp(20, 20, 1, 2, 3).substr(0, 60));
  std::filesystem::create_directory(ext_dir_.path() + "/folder.png");
  for (const char16_t* icon : {u"broken.png", u"truncated.bmp", u"missing.png", u"folder.png"}) {
    ASSERT_TRUE(
        ext_.SetManifest(u"{\"name\":\"x\",\"main_icon\":\"" + std::u16string(icon) + u"\"}"));
    auto parsed = Parsed(ext_.BuildSummary(Dir(), true));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(u"", Field(*parsed, u"icon")) << Utf16ToUtf8(icon);
    EXPECT_EQ(u"x", Field(*parsed, u"name"));  // the rest of the summary is still there
  }
}

TEST_F(SummaryTest, IconInTheExtensionDataDirectoryIsFoundThroughItsRecordedPath) {
  const std::string data_dir = env_.appdata() + "/halcy/browser/SysData/localextensions/ext1";
  std::filesystem::create_directories(data_dir);
  WriteFileOrDie(data_dir + "/icon.png", MakeBmp(5, 5, 9, 9, 9));
  ASSERT_TRUE(ext_.SetManifest(u"{\"main_icon\":\"icon.png\"}"));
  const std::string png = IconBytes(ext_.BuildSummary(u"hcextdbpath/ext1", true), "png");
  EXPECT_EQ("\x89PNG", png.substr(0, 4));
}

// --- The options page ---

TEST_F(SummaryTest, OptionsPageIsGivenWhenItsFileExistsIgnoringTheFragment) {
  WriteFileOrDie(ext_dir_.File("options.html"), "<html></html>");
  ASSERT_TRUE(ext_.SetManifest(u"{\"options_page\":\"options.html#general\"}"));
  auto parsed = Parsed(ext_.BuildSummary(Dir(), true));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(Resolved(u"options.html#general"), Field(*parsed, u"optionpage"));

  ASSERT_TRUE(ext_.SetManifest(u"{\"options_page\":\"missing.html#general\"}"));
  parsed = Parsed(ext_.BuildSummary(Dir(), true));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(u"", Field(*parsed, u"optionpage"));
}

TEST_F(SummaryTest, OptionsPageInASubfolderWithForwardSlashes) {
  std::filesystem::create_directories(ext_dir_.path() + "/pages");
  WriteFileOrDie(ext_dir_.File("pages/opt.html"), "");
  ASSERT_TRUE(ext_.SetManifest(u"{\"options_page\":\"pages/opt.html\"}"));
  auto parsed = Parsed(ext_.BuildSummary(Dir() + u"/", true));
  ASSERT_TRUE(parsed);
  // The directory's separators become backslashes; the manifest's path is kept as written.
  std::u16string dir = Dir() + u"/";
  for (char16_t& c : dir) {
    if (c == u'/') c = u'\\';
  }
  EXPECT_EQ(dir + u"\\pages/opt.html", Field(*parsed, u"optionpage"));
}

}  // namespace
