#include "update/zip_archive.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/output_directory.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/zip_builder.h"

namespace {

using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using Logic::ZipArchive;
using Logic::ZipEntry;
using testing_support::BuildZip;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;
using testing_support::ZipFile;
using testing_support::ZipFixtureEntry;

constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;
int64_t FileTime(int64_t unix_seconds) { return kUnixEpochFileTime + unix_seconds * 10000000; }

class ZipArchiveTest : public ::testing::Test {
 protected:
  std::unique_ptr<ZipArchive> OpenBuilt(const std::vector<ZipFixtureEntry>& entries) {
    WriteFileOrDie(temp_.File("p.zip"), BuildZip(entries));
    return ZipArchive::Open(Utf8ToUtf16(temp_.File("p.zip")));
  }
  ZipEntry Entry(ZipArchive* zip, int index) {
    ZipEntry entry;
    EXPECT_EQ(zip->GetEntry(index, &entry), Logic::ZR_OK);
    return entry;
  }

  ScopedTempDir temp_;
};

TEST(ZipNameTest, SanitisingFollowsTheWrittenRules) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/b.txt", "a/b.txt"}, {"C:\\x\\y", "x\\y"}, {"/abs", "abs"},
      {"\\\\a", "a"},         {"C:/D:\\e", "e"},    {"a/../b", "b"},
      {"a\\..\\b", "b"},      {"a\\../b", "b"},     {"a/..\\b", "b"},
      {"x/../y/../z", "z"},   {"../x", "../x"},     {"a/../../x", "../x"},
      {"C:..\\x", "..\\x"},   {"..", ".."},         {"1:x", "1:x"},
      {"a/..", "a/.."},       {"/C:/x", "x"},       {"", ""},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Utf16ToUtf8(Logic::SanitizeZipEntryName(Utf8ToUtf16(input))), expected) << input;
  }
}

TEST(ZipNameTest, SplitRefusesEveryComponentThatCouldLeave) {
  struct Case {
    const char* name;
    bool directory;
    std::vector<std::u16string> components;  // empty: refused
  };
  const Case cases[] = {
      {"a/b\\c", false, {u"a", u"b", u"c"}},
      {"dir/", true, {u"dir"}},
      {"dir/", false, {}},
      {"dir//", true, {}},
      {"a/../b", false, {}},
      {"./a", false, {}},
      {"a:b", false, {}},
      {"a\tb", false, {}},
      {"a\x7f", false, {}},
      {"", false, {}},
      {"..", true, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::u16string> components;
    const bool ok = Logic::SplitZipEntryPath(Utf8ToUtf16(c.name), c.directory, &components);
    EXPECT_EQ(ok, !c.components.empty()) << c.name;
    if (ok) {
      EXPECT_EQ(components, c.components) << c.name;
    }
  }
}

TEST(ZipLimitTest, CheckZipEntryRefusesSizeRatioEncryptionAndLinks) {
  struct Case {
    const char* what;
    uint64_t compressed, uncompressed;
    bool encrypted, link;
    Logic::ZRESULT expected;
  };
  const uint64_t mib = 1 << 20;
  const Case cases[] = {
      {"ordinary", 100, 1000, false, false, Logic::ZR_OK},
      {"ratio 1000", 1, 1000, false, false, Logic::ZR_OK},
      {"ratio 1001", 1, 1001, false, false, Logic::ZR_FLATE},
      {"empty", 0, 0, false, false, Logic::ZR_OK},
      {"512 MiB", 512 * mib, 512 * mib, false, false, Logic::ZR_OK},
      {"past 512 MiB", 513 * mib, 512 * mib + 1, false, false, Logic::ZR_FLATE},
      {"encrypted", 10, 10, true, false, Logic::ZR_PASSWORD},
      {"link", 10, 10, false, true, Logic::ZR_NOFILE},
  };
  for (const Case& c : cases) {
    ZipEntry entry;
    entry.name = u"f";
    entry.compressed_size = c.compressed;
    entry.uncompressed_size = c.uncompressed;
    entry.encrypted = c.encrypted;
    entry.symbolic_link = c.link;
    EXPECT_EQ(Logic::CheckZipEntry(entry), c.expected) << c.what;
  }
}

TEST_F(ZipArchiveTest, AttributesFromDosAndUnixHosts) {
  struct Case {
    uint8_t host;
    uint32_t external;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0x27, 0x27},                    // MS-DOS: read-only, hidden, system, archive
      {11, 0x10, 0x10},                   // NTFS directory
      {14, 0xffffffc8, 0x00},             // VFAT: only the five bits count
      {3, 0100644u << 16, 0x20},          // Unix file, owner may write
      {3, 0100444u << 16, 0x21},          // owner may not write: read-only
      {3, (040755u << 16) | 0x10, 0x30},  // Unix directory
      {19, 0100600u << 16, 0x20},         // macOS counts as Unix-style
  };
  std::vector<ZipFixtureEntry> entries;
  for (const Case& c : cases) {
    ZipFixtureEntry entry = ZipFile("f" + std::to_string(entries.size()), "x");
    entry.host = c.host;
    entry.external_attributes = c.external;
    entries.push_back(entry);
  }
  std::unique_ptr<ZipArchive> zip = OpenBuilt(entries);
  ASSERT_TRUE(zip);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(Entry(zip.get(), static_cast<int>(i)).attributes, cases[i].expected) << i;
  }
}

TEST_F(ZipArchiveTest, TimesFromDosFieldsThenExtendedTimestamp) {
  testing_support::ScopedEnv tz("TZ", "UTC");
  tzset();
  ZipFixtureEntry dos = ZipFile("dos", "x");
  dos.dos_date = ((2020 - 1980) << 9) | (1 << 5) | 2;  // 2020-01-02
  dos.dos_time = (3 << 11) | (4 << 5) | 3;             // 03:04:06
  ZipFixtureEntry all = dos;
  all.name = "all";
  all.local_extra = testing_support::ExtendedTimestamp(7, 1600000000, 1500000000, 1400000000);
  ZipFixtureEntry modified_only = dos;
  modified_only.name = "modified";
  modified_only.local_extra = std::string("\x01\x02\x01\x00\x7f", 5) +  // an unknown block first
                              testing_support::ExtendedTimestamp(1, 1600000000, 0, 0);
  std::unique_ptr<ZipArchive> zip = OpenBuilt({dos, all, modified_only});
  ASSERT_TRUE(zip);
  const int64_t dos_time = FileTime(1577934246);
  const ZipEntry e0 = Entry(zip.get(), 0);
  EXPECT_EQ(e0.write_time, dos_time);
  EXPECT_EQ(e0.access_time, dos_time);
  EXPECT_EQ(e0.creation_time, dos_time);
  const ZipEntry e1 = Entry(zip.get(), 1);
  EXPECT_EQ(e1.write_time, FileTime(1600000000));
  EXPECT_EQ(e1.access_time, FileTime(1500000000));
  EXPECT_EQ(e1.creation_time, FileTime(1400000000));
  const ZipEntry e2 = Entry(zip.get(), 2);
  EXPECT_EQ(e2.write_time, FileTime(1600000000));
  EXPECT_EQ(e2.access_time, dos_time);
}

TEST_F(ZipArchiveTest, CursorAnswersAnyOrderOverManyEntries) {
  std::vector<ZipFixtureEntry> entries;
  for (int i = 0; i < 20000; ++i) {
    ZipFixtureEntry entry = ZipFile("e" + std::to_string(i), "");
    entry.deflate = false;
    entries.push_back(entry);
  }
  std::unique_ptr<ZipArchive> zip = OpenBuilt(entries);
  ASSERT_TRUE(zip);
  ZipEntry count;
  EXPECT_EQ(zip->GetEntry(-1, &count), Logic::ZR_OK);
  EXPECT_EQ(count.index, 20000);
  const clock_t start = clock();
  for (int i = 0; i < 20000; ++i)
    ASSERT_EQ(Entry(zip.get(), i).name, Utf8ToUtf16("e" + std::to_string(i)));
  for (int i : {19999, 7, 12345, 0, 12346, 19998}) {
    EXPECT_EQ(Entry(zip.get(), i).name, Utf8ToUtf16("e" + std::to_string(i)));
  }
  // Stepping from the start for each index takes minutes; the cursor takes well under a second.
  EXPECT_LT(static_cast<double>(clock() - start) / CLOCKS_PER_SEC, 5.0);
  ZipEntry entry;
  EXPECT_EQ(zip->GetEntry(20000, &entry), Logic::ZR_ARGS);
  EXPECT_EQ(zip->GetEntry(-2, &entry), Logic::ZR_ARGS);
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_ARGS);
}

TEST_F(ZipArchiveTest, PackagePastEntryLimitDoesNotOpen) {
  std::vector<ZipFixtureEntry> entries(Logic::kMaxZipEntries + 1, ZipFile("e", ""));
  for (ZipFixtureEntry& entry : entries) entry.deflate = false;
  EXPECT_FALSE(OpenBuilt(entries));
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_NOTOPEN);
  entries.pop_back();
  EXPECT_TRUE(OpenBuilt(entries));
}

TEST_F(ZipArchiveTest, BrokenDataIsAnInflateFailure) {
  ZipFixtureEntry short_data = ZipFile("short", "abcdef");
  short_data.declared_size = 7;  // the stream ends one byte early
  ZipFixtureEntry long_data = ZipFile("long", "abcdef");
  long_data.declared_size = 5;  // more data than declared: the CRC of five bytes differs
  ZipFixtureEntry crc = ZipFile("crc", "abcdef");
  crc.wrong_crc = true;
  ZipFixtureEntry bomb = ZipFile("bomb", "abc");
  bomb.declared_size = 100000;
  ZipFixtureEntry encrypted = ZipFile("enc", "abc");
  encrypted.encrypted = true;
  std::unique_ptr<ZipArchive> zip = OpenBuilt({short_data, long_data, crc, bomb, encrypted});
  ASSERT_TRUE(zip);
  halcy::OutputDirectory output;
  ASSERT_TRUE(output.Open(Utf8ToUtf16(temp_.File("out"))));
  const Logic::ZRESULT expected[] = {Logic::ZR_FLATE, Logic::ZR_FLATE, Logic::ZR_FLATE,
                                     Logic::ZR_FLATE, Logic::ZR_PASSWORD};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(zip->UnzipEntry(i, output), expected[i]) << i;
  EXPECT_EQ(zip->UnzipEntry(5, output), Logic::ZR_ARGS);
}

TEST(ZipOpenTest, MissingFileIsNotOpen) {
  EXPECT_FALSE(ZipArchive::Open(u"/nonexistent/dir/p.zip"));
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_NOTOPEN);
}

}  // namespace
