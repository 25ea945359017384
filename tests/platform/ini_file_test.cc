// The ini-file functions: reads with Windows semantics (case-insensitive names, defaults,
// quotes, integer prefixes, name lists), writes that keep the rest of the file as it was and
// replace it whole, and concurrent writers that lose nothing.

#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/string_resources.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::WriteFileOrDie;

class IniFileTest : public ::testing::Test {
 protected:
  std::u16string Path() const { return halcy::Utf8ToUtf16(dir_.File("settings.ini")); }
  void Write(const std::string& text) { WriteFileOrDie(dir_.File("settings.ini"), text); }
  std::string Contents() const { return ReadFileOrEmpty(dir_.File("settings.ini")); }

  std::u16string ReadString(const char16_t* section, const char16_t* key,
                            const char16_t* fallback = u"<none>", DWORD size = 256) {
    std::vector<char16_t> buffer(size + 1, u'#');
    const DWORD n =
        GetPrivateProfileStringW(section, key, fallback, buffer.data(), size, Path().c_str());
    EXPECT_EQ(u'\0', buffer[n]);
    return std::u16string(buffer.data(), n);
  }

  testing_support::ScopedTempDir dir_;
};

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(7u, GetPrivateProfileIntW(u"s", u"k", 7, Path().c_str()));
  EXPECT_EQ(u"", ReadString(u"s", u"k", nullptr));
  Write("[s]\nother=1\n");
  EXPECT_EQ(7u, GetPrivateProfileIntW(u"s", u"k", 7, Path().c_str()));
  EXPECT_EQ(7u, GetPrivateProfileIntW(u"t", u"other", 7, Path().c_str()));
  EXPECT_EQ(u"dflt", ReadString(u"t", u"other", u"dflt  "));  // trailing blanks of the default go
}

TEST_F(IniFileTest, IntegerIsTheLeadingDecimalPrefix) {
  // clang-format off
  const std::pair<const char*, UINT> cases[] = {
      {"  7  ", 7}, {"12abc", 12}, {"abc", 0}, {"-3", static_cast<UINT>(-3)}, {"\"5\"", 5},
      {"", 99}, {"4294967296", 4294967295u}};
  // clang-format on
  for (const auto& [value, expected] : cases) {
    Write(std::string("[n]\nv=") + value + "\n");
    EXPECT_EQ(expected, GetPrivateProfileIntW(u"n", u"v", 99, Path().c_str())) << value;
  }
}

TEST_F(IniFileTest, ValuesAreTrimmedLoseMatchingQuotesAndAreCutToTheBuffer) {
  Write(
      "\xEF\xBB\xBF; a comment\n[q]\r\n a = \"two words\" \nb='x'\nc=\"mismatch'\nd=first\n"
      "D=second\nnoequals\n");
  EXPECT_EQ(u"two words", ReadString(u"q", u"a"));
  EXPECT_EQ(u"x", ReadString(u"q", u"b"));
  EXPECT_EQ(u"\"mismatch'", ReadString(u"q", u"c"));
  EXPECT_EQ(u"first", ReadString(u"q", u"d"));  // the first occurrence wins
  EXPECT_EQ(u"<none>", ReadString(u"q", u"noequals"));
  EXPECT_EQ(u"two", ReadString(u"q", u"a", u"", 4));
  EXPECT_EQ(u"two words", ReadString(u"q", u"a", u"", 10));
}

TEST_F(IniFileTest, NullSectionOrKeyListsNames) {
  Write("[One]\na=1\nB=2\n[two]\n[Three]\nc=3\n");
  char16_t buffer[64];
  DWORD n = GetPrivateProfileStringW(nullptr, nullptr, u"", buffer, 64, Path().c_str());
  EXPECT_EQ(std::u16string(u"One\0two\0Three\0", 14), std::u16string(buffer, n));
  EXPECT_EQ(u'\0', buffer[n]);
  n = GetPrivateProfileStringW(u"one", nullptr, u"", buffer, 64, Path().c_str());
  EXPECT_EQ(std::u16string(u"a\0B\0", 4), std::u16string(buffer, n));
  n = GetPrivateProfileStringW(u"two", nullptr, u"", buffer, 64, Path().c_str());
  EXPECT_EQ(0u, n);
  EXPECT_EQ(u'\0', buffer[0]);
  // Too small: the last name is cut and closed by two NULs; the result is size - 2.
  n = GetPrivateProfileStringW(nullptr, nullptr, u"", buffer, 7, Path().c_str());
  EXPECT_EQ(5u, n);
  EXPECT_EQ(std::u16string(u"One\0t\0\0", 7), std::u16string(buffer, 7));
}

TEST_F(IniFileTest, WritesKeepOtherLinesAndNullValuesDeleteAKeyOrASection) {
  Write("; head\r\n[a]\r\nx=1\r\n; inside\r\ny=2\r\n\r\n[b]\r\nz=3\r\n[c]\r\nw=4\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"A", u"Y", u"20", Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"a", u"new", u"v", Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"a", u"X", nullptr, Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"B", nullptr, nullptr, Path().c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"nosuch", u"k", nullptr, Path().c_str()));
  EXPECT_EQ("; head\r\n[a]\r\n; inside\r\ny=20\r\nnew=v\r\n\r\n[c]\r\nw=4\r\n", Contents());
}

TEST_F(IniFileTest, WriteLeavesNoTemporaryFilesAndFailsInAMissingDirectory) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"s", u"k", u"v", Path().c_str()));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(std::vector<std::string>{"settings.ini"}, names);
  const std::u16string missing = halcy::Utf8ToUtf16(dir_.File("no/such/dir/x.ini"));
  EXPECT_FALSE(WritePrivateProfileStringW(u"s", u"k", u"v", missing.c_str()));
}

TEST_F(IniFileTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int k = 0; k < kKeys; ++k) {
        const std::u16string key = halcy::StringPrintf(u"t%dk%d", t, k);
        WritePrivateProfileStringW(u"s", key.c_str(), key.c_str(), Path().c_str());
        // A reader in the middle of the writes always sees a whole file.
        EXPECT_EQ(key, ReadString(u"s", key.c_str()));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      const std::u16string key = halcy::StringPrintf(u"t%dk%d", t, k);
      EXPECT_EQ(key, ReadString(u"s", key.c_str())) << halcy::Utf16ToUtf8(key);
    }
  }
}

// The string table beside the executable: NAME=text lines, comments and blank lines skipped,
// "\n" and "\\" escapes, CRLF endings; read again when the file changes.
TEST(StringResourcesTest, TableLinesEscapesAndRereadAfterAChange) {
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv env("HALCY_BROWSER_DIR", dir.path());
  const std::string table = dir.File(halcy::kStringTableFileName);
  testing_support::WriteFileOrDie(
      table, "# IDS_COMMENT=not a text\r\n\r\nIDS_A=first\\nsecond\\\\x\r\n=no name\nIDS_B=和\n");
  const std::pair<std::u16string, std::u16string> expected[] = {
      {u"IDS_A", u"first\nsecond\\x"}, {u"IDS_B", u"和"}, {u"# IDS_COMMENT", u""},
      {u"IDS_COMMENT", u""},           {u"", u""},        {u"IDS_MISSING", u""}};
  for (const auto& [name, text] : expected) EXPECT_EQ(text, Help::String::LoadStringW(name));
  testing_support::WriteFileOrDie(table, "IDS_A=changed text\n");
  EXPECT_EQ(u"changed text", Help::String::LoadStringW(u"IDS_A"));
  EXPECT_EQ(u"", Help::String::LoadStringW(u"IDS_B"));
}

}  // namespace
