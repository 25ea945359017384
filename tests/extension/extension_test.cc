#include "extension/extension.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "extension/accelerator.h"
#include "platform/strings.h"

namespace {

using Logic::CExtension;

std::unique_ptr<CExtension> WithManifest(const std::u16string& text) {
  auto ext = std::make_unique<CExtension>();
  EXPECT_TRUE(ext->SetManifest(text)) << halcy::Utf16ToUtf8(text);
  return ext;
}

// --- The record ---

TEST(ExtensionRecordTest, StartsWithTheRecordDefaults) {
  CExtension ext;
  EXPECT_EQ(-1, ext.GetPosition());
  EXPECT_EQ(1, ext.GetState());
  EXPECT_EQ(0, ext.GetFlags());
  EXPECT_EQ(u"", ext.GetId());
  EXPECT_FALSE(ext.HasManifest());
  EXPECT_EQ(u"", ext.GetManifestText());
}

TEST(ExtensionRecordTest, EmptyIdIsRefusedAndKeepsTheOldOne) {
  CExtension ext;
  EXPECT_TRUE(ext.SetId(u"first"));
  EXPECT_FALSE(ext.SetId(u""));
  EXPECT_EQ(u"first", ext.GetId());
}

TEST(ExtensionRecordTest, DirectoryLosesTrailingSeparators) {
  CExtension ext;
  ext.SetDirectory(u"C:\\ext\\abc\\/\\");
  EXPECT_EQ(u"C:\\ext\\abc", ext.GetDirectory());
  ext.SetDirectory(u"/srv/ext//");
  EXPECT_EQ(u"/srv/ext", ext.GetDirectory());
}

TEST(ExtensionRecordTest, BaseUrlIsBelowLocalExtensions) {
  CExtension ext;
  ext.SetId(u"weather");
  EXPECT_EQ(u"hcbrowser://localextensions/weather/", ext.GetBaseUrl());
}

// --- Replacing the manifest ---

TEST(ExtensionManifestTest, ManifestReplacedByAnArrayKeepsTheOldOne) {
  auto ext = WithManifest(u"{\"name\":\"Old\",\"version\":\"1.0\"}");
  EXPECT_FALSE(ext->SetManifest(u"[{\"name\":\"New\"}]"));
  EXPECT_FALSE(ext->SetManifest(u"\"just a string\""));
  EXPECT_FALSE(ext->SetManifest(u"{\"name\":"));  // does not parse
  EXPECT_FALSE(ext->SetManifest(u""));
  EXPECT_EQ(u"Old", ext->GetName());
  EXPECT_EQ(u"{\"name\":\"Old\",\"version\":\"1.0\"}", ext->GetManifestText());
}

TEST(ExtensionManifestTest, NewObjectChangesEveryAnswerAtOnce) {
  auto ext = WithManifest(u"{\"name\":\"Old\",\"version\":\"1.0\",\"pluginorder\":4}");
  ASSERT_TRUE(ext->SetManifest(u"{\"name\":\"New\"}"));
  EXPECT_EQ(u"New", ext->GetName());
  EXPECT_EQ(u"", ext->GetVersion());
  int32_t order = 77;
  EXPECT_FALSE(ext->GetPluginOrder(&order));
  EXPECT_EQ(77, order);
}

TEST(ExtensionManifestTest, KeysAreCaseSensitiveAndStringGettersIgnoreOtherTypes) {
  auto ext = WithManifest(
      u"{\"Name\":\"Upper\",\"version\":2,\"update_url\":null,\"description\":[\"x\"],"
      u"\"librarypath\":\"lib\\\\native.so\",\"background_page\":\"bg.html\"}");
  EXPECT_EQ(u"", ext->GetName());
  EXPECT_EQ(u"", ext->GetVersion());
  EXPECT_EQ(u"", ext->GetUpdateUrl());
  EXPECT_EQ(u"", ext->GetString(u"description"));
  EXPECT_EQ(u"lib\\native.so", ext->GetLibraryPath());
  EXPECT_EQ(u"bg.html", ext->GetBackgroundPage());
}

TEST(ExtensionManifestTest, ReadersOnOtherThreadsSeeEitherManifestWhole) {
  CExtension ext;
  ASSERT_TRUE(ext.SetManifest(u"{\"name\":\"A\",\"version\":\"1\"}"));
  std::atomic<bool> torn{false};
  std::atomic<int> readers_done{0};
  auto reader = [&] {
    for (int i = 0; i < 3000; ++i) {
      const std::u16string name = ext.GetName();
      if (name != u"A" && name != u"B") torn = true;
      const std::u16string text = ext.GetManifestText();
      if (text != u"{\"name\":\"A\",\"version\":\"1\"}" &&
          text != u"{\"name\":\"B\",\"version\":\"2\"}") {
        torn = true;
      }
    }
    ++readers_done;
  };
  std::thread r1(reader), r2(reader);
  for (int i = 0; readers_done.load() < 2; ++i) {
    ext.SetManifest(i % 2 ? u"{\"name\":\"A\",\"version\":\"1\"}"
                          : u"{\"name\":\"B\",\"version\":\"2\"}");
  }
  r1.join();
  r2.join();
  EXPECT_FALSE(torn.load());
}

// --- Typed getters ---

TEST(ExtensionGetterTest, LowestBrowserDefaultsToNoVersion) {
  EXPECT_EQ(u"0.0.0.0", CExtension().GetLowestBrowser());
  EXPECT_EQ(u"0.0.0.0", WithManifest(u"{}")->GetLowestBrowser());
  EXPECT_EQ(u"0.0.0.0", WithManifest(u"{\"lowestbrowser\":\"\"}")->GetLowestBrowser());
  EXPECT_EQ(u"0.0.0.0", WithManifest(u"{\"lowestbrowser\":6.5}")->GetLowestBrowser());
  EXPECT_EQ(u"6.5", WithManifest(u"{\"lowestbrowser\":\"6.5\"}")->GetLowestBrowser());
}

struct PluginOrderCase {
  const char16_t* value;  // the JSON text of "pluginorder", or null for a missing key
  bool read;
  int32_t expected;
};

TEST(ExtensionGetterTest, PluginOrderTruncatesNumbersAndReadsLeadingDigits) {
  const PluginOrderCase cases[] = {
      {u"3.9", true, 3},
      {u"-3.9", true, -3},
      {u"0", true, 0},
      {u"\"12ab\"", true, 12},
      {u"\"ab12\"", true, 0},
      {u"\"\"", true, 0},
      {u"1e20", true, std::numeric_limits<int32_t>::max()},
      {u"-1e20", true, std::numeric_limits<int32_t>::min()},
      {u"true", false, 55},
      {u"null", false, 55},
      {u"[1]", false, 55},
      {u"{\"a\":1}", false, 55},
      {nullptr, false, 55},
  };
  for (const PluginOrderCase& c : cases) {
    const std::u16string manifest =
        c.value ? u"{\"pluginorder\":" + std::u16string(c.value) + u"}" : u"{}";
    auto ext = WithManifest(manifest);
    int32_t order = 55;
    EXPECT_EQ(c.read, ext->GetPluginOrder(&order)) << halcy::Utf16ToUtf8(manifest);
    EXPECT_EQ(c.expected, order) << halcy::Utf16ToUtf8(manifest);
  }
  int32_t order = 55;
  EXPECT_FALSE(CExtension().GetPluginOrder(&order));
  EXPECT_EQ(55, order);
}

TEST(ExtensionGetterTest, SetupOnlineIsOneOnlyForTheTextOne) {
  const std::pair<const char16_t*, int32_t> cases[] = {
      {u"{\"setuponline\":\"1\"}", 1},  {u"{\"setuponline\":\"2\"}", 0},
      {u"{\"setuponline\":1}", 0},      {u"{\"setuponline\":\" 1\"}", 0},
      {u"{\"setuponline\":\"1 \"}", 0}, {u"{}", 0},
  };
  for (const auto& [manifest, expected] : cases) {
    EXPECT_EQ(expected, WithManifest(manifest)->GetSetupOnline()) << halcy::Utf16ToUtf8(manifest);
  }
}

TEST(ExtensionGetterTest, SetupCommandReadsUrlAndParam) {
  std::u16string url = u"stale", param = u"stale";
  EXPECT_FALSE(CExtension().GetSetupCommand(&url, &param));

  EXPECT_TRUE(WithManifest(u"{}")->GetSetupCommand(&url, &param));
  EXPECT_EQ(u"", url);
  EXPECT_EQ(u"", param);

  EXPECT_TRUE(WithManifest(u"{\"setupcommand\":{\"url\":\"http://s/x.exe\",\"param\":\"/S\"}}")
                  ->GetSetupCommand(&url, &param));
  EXPECT_EQ(u"http://s/x.exe", url);
  EXPECT_EQ(u"/S", param);

  EXPECT_TRUE(WithManifest(u"{\"setupcommand\":\"x.exe\"}")->GetSetupCommand(&url, &param));
  EXPECT_EQ(u"", url);
  EXPECT_EQ(u"", param);
}

TEST(ExtensionGetterTest, PermissionsKeepManifestOrderAndSkipNonStrings) {
  auto ext =
      WithManifest(u"{\"permissions\":[\"tabs\",3,\"http://*.example.com/*\",null,\"tabs\",\"\"]}");
  const std::vector<std::u16string> expected = {u"tabs", u"http://*.example.com/*", u"tabs", u""};
  EXPECT_EQ(expected, ext->GetPermissions());
  EXPECT_TRUE(WithManifest(u"{\"permissions\":\"tabs\"}")->GetPermissions().empty());
  EXPECT_TRUE(WithManifest(u"{}")->GetPermissions().empty());
}

TEST(ExtensionGetterTest, ContextMenuIsTheArrayAsCompactJson) {
  auto ext =
      WithManifest(u"{\"contextmenu\": [ {\"text\" : \"Look up\", \"contexttype\":\"2\"} ]}");
  EXPECT_EQ(u"[{\"contexttype\":\"2\",\"text\":\"Look up\"}]", ext->GetContextMenu());
  EXPECT_EQ(u"", WithManifest(u"{\"contextmenu\":{}}")->GetContextMenu());
}

// --- Accelerators ---

struct AcceleratorCase {
  const char16_t* text;
  bool ok;
  uint16_t word;
};

TEST(AcceleratorTest, ParsesModifiersAndKeys) {
  const AcceleratorCase cases[] = {
      {u"Ctrl+Shift+F5", true, 0x0374},
      {u"ALT+1", true, 0x0431},
      {u"ALT+6", true, 0x0436},
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
      {u"CTRL+ A", false, 0},  // names are not trimmed
      {u"", false, 0},
  };
  for (const AcceleratorCase& c : cases) {
    uint16_t word = 0xFFFF;
    EXPECT_EQ(c.ok, Logic::ParseAccelerator(c.text, &word)) << halcy::Utf16ToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(c.word, word) << halcy::Utf16ToUtf8(c.text);
    }
  }
}

TEST(AcceleratorTest, KeyTableHasFiftyOneNames) {
  int known = 0;
  std::vector<std::u16string> names = {u"SHIFT", u"CTRL", u"ALT"};
  for (int i = 1; i <= 12; ++i) names.push_back(u"F" + halcy::Utf8ToUtf16(std::to_string(i)));
  for (char16_t c = u'A'; c <= u'Z'; ++c) names.push_back(std::u16string(1, c));
  for (char16_t c = u'0'; c <= u'9'; ++c) names.push_back(std::u16string(1, c));
  for (const std::u16string& name : names) {
    if (Logic::VirtualKeyOfName(name) != 0) ++known;
  }
  EXPECT_EQ(51, known);
  EXPECT_EQ(0, Logic::VirtualKeyOfName(u"ESC"));
  EXPECT_EQ(0, Logic::VirtualKeyOfName(u"-"));
}

TEST(AcceleratorTest, ExtensionReadsItsManifestAccelerator) {
  uint16_t word = 0;
  EXPECT_TRUE(WithManifest(u"{\"accelerator\":\"Ctrl+Shift+F5\"}")->GetAccelerator(&word));
  EXPECT_EQ(0x0374, word);
  EXPECT_FALSE(WithManifest(u"{}")->GetAccelerator(&word));
  EXPECT_FALSE(WithManifest(u"{\"accelerator\":5}")->GetAccelerator(&word));
}

}  // namespace
