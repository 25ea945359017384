// The summary through which the front end lists an extension: its exact text, the flag
// answers, the string table's stand-ins, the icon inlined as a data address and the options
// page.
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

#include "extension/extension.h"
#include "extension/extension_test_util.h"
#include "json/json_reader.h"
#include "platform/string_resources.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using testing_support::WriteFileOrDie;

// The bytes behind a Base64 text with CR LF line breaks (which are skipped).
std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) continue;  // line breaks and padding
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

uint32_t ReadBe32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = at; i < at + 4; ++i) v = (v << 8) | static_cast<uint8_t>(s[i]);
  return v;
}

uint32_t ReadLe(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// An icon file holding one image (a bitmap without its file header, its height doubled for
// the mask, or a PNG), as icon editors write them.
std::string MakeIco(const std::string& image, uint32_t width, uint32_t height) {
  std::string ico;
  PutLe(&ico, {{0, 2},
               {1, 2},
               {1, 2},
               {width, 1},
               {height, 1},
               {0, 2},
               {1, 2},
               {24, 2},
               {static_cast<uint32_t>(image.size()), 4},
               {22, 4}});
  return ico + image;
}

class SummaryTest : public ::testing::Test {
 protected:
  std::u16string Dir() const { return Utf8ToUtf16(ext_dir_.path()); }

  // The summary of `manifest`, with paths resolved against `directory` (Dir() when empty).
  std::u16string Summary(const std::u16string& manifest, std::u16string directory = u"") {
    EXPECT_TRUE(ext_.SetManifest(manifest)) << Utf16ToUtf8(manifest);
    return ext_.BuildSummary(directory.empty() ? Dir() : directory, true);
  }
  // One field of a summary, read back as JSON.
  static std::u16string Field(const std::u16string& summary, const char16_t* key) {
    auto value = Logic::ParseJson(summary);
    if (!value || !value->IsObject()) return u"<not an object>";
    auto it = value->GetObject().find(std::u16string_view(key));
    return it == value->GetObject().end() ? u"<missing>" : it->second->GetString();
  }
  // The icon's bytes: the data address's Base64 decoded; checks the prefix on the way.
  std::string IconBytes(const std::u16string& file, const std::string& type) {
    const std::string icon =
        Utf16ToUtf8(Field(Summary(u"{\"main_icon\":\"" + file + u"\"}"), u"icon"));
    const std::string prefix = "data:image/" + type + ";base64,";
    EXPECT_EQ(prefix, icon.substr(0, prefix.size()));
    return DecodeBase64(icon.substr(prefix.size()));
  }

  BrowserEnvironment env_;
  testing_support::ScopedTempDir ext_dir_;
  Logic::CExtension ext_;
};

TEST_F(SummaryTest, FlagsThreeSayNeitherUninstallNorDisableByteForByte) {
  ext_.SetId(u"de\"mo");
  ext_.SetFlags(3);
  // Every text is escaped for JSON; the solidus is kept.
  EXPECT_EQ(
      u"{ \"id\":\"de\\\"mo\",\"name\":\"De/mo\",\"icon\":\"\",\"developer\":\"Halcy\","
      u"\"version\":\"1.2.3\",\"description\":\"Says \\\"hi\\\"\\n\",\"optionpage\":\"\","
      u"\"state\":\"1\", \"uninstall\":\"false\", \"candisable\":\"false\"}",
      Summary(u"{\"name\":\"De/mo\",\"developer\":\"Halcy\",\"version\":\"1.2.3\","
              u"\"description\":\"Says \\\"hi\\\"\\n\"}"));
}

TEST_F(SummaryTest, EachFlagBitControlsOneAnswer) {
  const std::tuple<int32_t, const char16_t*, const char16_t*> cases[] = {
      {0, u"true", u"true"}, {1, u"false", u"true"}, {2, u"true", u"false"}, {4, u"true", u"true"}};
  for (const auto& [flags, uninstall, disable] : cases) {
    ext_.SetFlags(flags);
    const std::u16string summary = Summary(u"{\"name\":\"x\"}");
    EXPECT_EQ(uninstall, Field(summary, u"uninstall")) << flags;
    EXPECT_EQ(disable, Field(summary, u"candisable")) << flags;
  }
}

TEST_F(SummaryTest, FlagClearOrNoManifestGivesNothing) {
  EXPECT_EQ(u"", ext_.BuildSummary(Dir(), true));
  ASSERT_TRUE(ext_.SetManifest(u"{\"name\":\"x\"}"));
  EXPECT_EQ(u"", ext_.BuildSummary(Dir(), false));
}

TEST_F(SummaryTest, EmptyOrMistypedTextsShowTheUnknownResource) {
  ext_.SetState(2);
  const std::u16string summary = Summary(u"{\"name\":5,\"version\":\"\",\"description\":[\"x\"]}");
  EXPECT_EQ(u"(unknown)", Field(summary, u"name"));
  EXPECT_EQ(u"(unknown)", Field(summary, u"developer"));
  EXPECT_EQ(u"(unknown)", Field(summary, u"version"));
  EXPECT_EQ(u"", Field(summary, u"description"));  // no stand-in for the description
  EXPECT_EQ(u"2", Field(summary, u"state"));
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

TEST_F(SummaryTest, IconTypeSelectsTheFormatWithoutRegardToCase) {
  const struct {
    const char* file;
    std::string type, magic;
  } cases[] = {
      {"a.png", "png", "\x89PNG\r\n\x1a\n"},
      {"b.JPG", "JPG", "\xFF\xD8\xFF"},
      {"c.jpeg", "jpeg", "\xFF\xD8\xFF"},
      {"d.Bmp", "Bmp", "BM"},
      {"e.GIF", "GIF", "GIF8"},
      {"f.ico", "ico", "\x89PNG"},
      {"g.webp", "webp", "\x89PNG"},
  };
  for (const auto& c : cases) {
    WriteFileOrDie(ext_dir_.File(c.file), MakeBmp(40, 30, 0, 128, 255));  // content decides
    const std::string bytes = IconBytes(Utf8ToUtf16(c.file), c.type);
    EXPECT_EQ(c.magic, bytes.substr(0, c.magic.size())) << c.file;
  }
  // The Base64 text breaks its lines with CR LF, which the summary carries escaped.
  EXPECT_NE(std::u16string::npos, Summary(u"{\"main_icon\":\"a.png\"}").find(u"\\r\\n"));
  const std::string png = IconBytes(u"a.png", "png");
  ASSERT_GE(png.size(), 24u);
  EXPECT_EQ("IHDR", png.substr(12, 4));
  EXPECT_EQ(40u, ReadBe32(png, 16));
  EXPECT_EQ(30u, ReadBe32(png, 20));
}

TEST_F(SummaryTest, BmpIconKeepsItsPixels) {
  WriteFileOrDie(ext_dir_.File("icon.bmp"), MakeBmp(3, 2, 10, 20, 30));
  const std::string bmp = IconBytes(u"icon.bmp", "bmp");
  ASSERT_GE(bmp.size(), 54u);
  EXPECT_EQ(3u, ReadLe(bmp, 18, 4));
  EXPECT_EQ(2u, ReadLe(bmp, 22, 4));
  const uint32_t offset = ReadLe(bmp, 10, 4);
  const uint32_t bpp = ReadLe(bmp, 28, 2);
  ASSERT_TRUE(bpp == 24 || bpp == 32) << bpp;
  ASSERT_GT(bmp.size(), offset + 3);
  EXPECT_EQ("\x1e\x14\x0a", bmp.substr(offset, 3));  // blue, green, red
}

TEST_F(SummaryTest, IcoIconsHoldingABitmapOrAPngAreRead) {
  std::string dib = MakeBmp(6, 4, 200, 100, 50).substr(14);
  dib[8] = 8;                    // the height of colour and mask images together
  dib.append(size_t{16}, '\0');  // the mask: one 32-bit row for each of the 4 lines
  WriteFileOrDie(ext_dir_.File("bitmap.ico"), MakeIco(dib, 6, 4));
  const std::string from_bitmap = IconBytes(u"bitmap.ico", "ico");
  WriteFileOrDie(ext_dir_.File("png.ico"), MakeIco(from_bitmap, 6, 4));
  for (const std::string& png : {from_bitmap, IconBytes(u"png.ico", "ico")}) {
    ASSERT_GE(png.size(), 24u);
    EXPECT_EQ("\x89PNG", png.substr(0, 4));
    EXPECT_EQ(6u, ReadBe32(png, 16));
    EXPECT_EQ(4u, ReadBe32(png, 20));
  }
}

TEST_F(SummaryTest, IconThatCannotBeReadGivesAnEmptyIcon) {
  WriteFileOrDie(ext_dir_.File("broken.png"), "this is not an image at all");
  WriteFileOrDie(ext_dir_.File("truncated.bmp"), MakeBmp(20, 20, 1, 2, 3).substr(0, 60));
  std::filesystem::create_directory(ext_dir_.path() + "/folder.png");
  for (const char16_t* icon : {u"broken.png", u"truncated.bmp", u"missing.png", u"folder.png"}) {
    const std::u16string summary =
        Summary(u"{\"name\":\"x\",\"main_icon\":\"" + std::u16string(icon) + u"\"}");
    EXPECT_EQ(u"", Field(summary, u"icon")) << Utf16ToUtf8(icon);
    EXPECT_EQ(u"x", Field(summary, u"name"));  // the rest of the summary is still there
  }
}

TEST_F(SummaryTest, IconInTheExtensionDataDirectoryIsFoundThroughItsRecordedPath) {
  const std::string data_dir = env_.appdata() + "/halcy/browser/SysData/localextensions/ext1";
  std::filesystem::create_directories(data_dir);
  WriteFileOrDie(data_dir + "/icon.png", MakeBmp(5, 5, 9, 9, 9));
  const std::u16string icon =
      Field(Summary(u"{\"main_icon\":\"icon.png\"}", u"hcextdbpath/ext1"), u"icon");
  EXPECT_TRUE(icon.starts_with(u"data:image/png;base64,iVBOR")) << Utf16ToUtf8(icon);
}

// --- The options page ---

TEST_F(SummaryTest, OptionsPageIsGivenWhenItsFileExistsIgnoringTheFragment) {
  std::filesystem::create_directories(ext_dir_.path() + "/pages");
  WriteFileOrDie(ext_dir_.File("options.html"), "");
  WriteFileOrDie(ext_dir_.File("pages/opt.html"), "");
  std::u16string dir = Dir();
  for (char16_t& c : dir) {
    if (c == u'/') c = u'\\';
  }
  // The directory's separators become backslashes; the manifest's path is kept as written.
  const std::tuple<const char16_t*, std::u16string, std::u16string> cases[] = {
      {u"options.html#general", Dir(), dir + u"\\options.html#general"},
      {u"missing.html#general", Dir(), u""},
      {u"pages/opt.html", Dir() + u"/", dir + u"\\\\pages/opt.html"},
  };
  for (const auto& [page, directory, expected] : cases) {
    const std::u16string manifest = u"{\"options_page\":\"" + std::u16string(page) + u"\"}";
    EXPECT_EQ(expected, Field(Summary(manifest, directory), u"optionpage")) << Utf16ToUtf8(page);
  }
}

}  // namespace
}  // namespace extension_testing
