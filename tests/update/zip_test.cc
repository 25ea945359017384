// Zip package unpacking, from the package layer down to the entry checks, and plexorectl zip run
// as the real binary, on packages the tests build byte by byte.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/zip_builder.h"
#include "tools/tool_runner.h"
#include "update/zip_archive.h"
#include "update/zip_package.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using plexore_test::RunTool;
using ts::ZipFile;
using ts::ZipFixtureEntry;

std::string Noise(size_t size) {  // does not compress
  std::string noise(size, '\0');
  for (std::mt19937 random(7); char& c : noise) c = static_cast<char>(random());
  return noise;
}

class ZipTest : public ::testing::Test {
 protected:
  std::string Package(const std::vector<ZipFixtureEntry>& entries) {
    ts::WriteFileOrDie(temp_.File("p.zip"), ts::BuildZip(entries));
    return temp_.File("p.zip");
  }
  bool Unpack(const std::string& package) {
    return Logic::UnzipPackage(halcy::Utf8ToUtf16(package), halcy::Utf8ToUtf16(dest_ + "//\\"));
  }
  // Nothing lies below the temporary folder outside the destination, not even the package.
  bool OnlyDestinationLeft() const {
    for (const auto& item : fs::recursive_directory_iterator(temp_.path())) {
      if (!item.path().string().starts_with(dest_)) return false;
    }
    return true;
  }

  ts::ScopedTempDir temp_;
  const std::string dest_ = temp_.File("dest");
};

// Each entry lands at `lands` below the destination (a directory when it ends in "/") or is
// refused with `code`; nothing is written outside and the package is deleted either way.
TEST_F(ZipTest, EachEntryLandsInsideOrIsRefused) {
  auto check = [&](const ZipFixtureEntry& entry, const std::string& lands, Logic::ZRESULT code) {
    SCOPED_TRACE(entry.name);
    fs::remove_all(dest_);
    EXPECT_EQ(Unpack(Package({entry})), !lands.empty());
    if (lands.empty()) {
      EXPECT_EQ(Logic::LastZipResult(), code);
      // A broken stream may leave its partial file; a refused entry leaves nothing.
      EXPECT_TRUE(code == Logic::ZR_FLATE || fs::is_empty(dest_));
      // One good entry among failing ones is enough for true.
      EXPECT_TRUE(Unpack(Package({entry, ZipFile("good", "ok"), entry})));
    } else {
      EXPECT_EQ(fs::is_directory(dest_ + "/" + lands), lands.ends_with('/'));
      EXPECT_EQ(ts::ReadFileOrEmpty(dest_ + "/" + lands), lands.ends_with('/') ? "" : entry.data);
    }
    EXPECT_TRUE(OnlyDestinationLeft());
  };
  const std::pair<const char*, const char*> lands[] = {
      {"a/b\\c", "a/b/c"},     {"C:\\abs\\x", "abs/x"}, {"/etc/x", "etc/x"},
      {"/C:/d:\\x", "x"},      {"a/b/../c", "c"},       {"a\\..\\b\\../c/..\\d", "d"},
      {"\\\\srv\\f", "srv/f"}, {"empty/", "empty/"},    {"e/nested/", "e/nested/"},
  };
  for (const auto& [name, path] : lands) check(ZipFile(name, "p"), path, Logic::ZR_OK);
  for (const char* name : {"../x", "a/../../x", "C:..\\x", "..", ".", "", "a/./b", "a//b", "dir//",
                           "dir/..", "ab:c", "ctl\x01name", "del\x7f"})
    check(ZipFile(name, "p"), "", Logic::ZR_NOFILE);
  const std::string text(60, 'z');  // deflates to a few bytes
  const std::pair<ZipFixtureEntry, Logic::ZRESULT> bad[] = {
      {{"link", "/etc/passwd", 0120777u << 16}, Logic::ZR_NOFILE},
      {{.name = "enc", .data = text, .encrypted = true}, Logic::ZR_PASSWORD},
      {{.name = "crc", .data = text, .wrong_crc = true}, Logic::ZR_FLATE},
      {{.name = "short", .data = text, .declared_size = 61}, Logic::ZR_FLATE},
      {{.name = "long", .data = text, .declared_size = 59}, Logic::ZR_FLATE},
  };
  for (const auto& [entry, code] : bad) check(entry, "", code);
}

TEST_F(ZipTest, SymlinkPlantedInDestinationIsNotFollowed) {
  const std::string outside = temp_.File("outside");
  fs::create_directories(outside);
  fs::create_directories(dest_);
  ts::WriteFileOrDie(outside + "/target", "keep");
  fs::create_directory_symlink(outside, dest_ + "/dirlink");
  fs::create_symlink(outside + "/target", dest_ + "/filelink");
  EXPECT_TRUE(Unpack(Package({ZipFile("dirlink/x", "evil"), ZipFile("filelink", "new")})));
  EXPECT_FALSE(fs::exists(outside + "/x"));
  EXPECT_EQ(ts::ReadFileOrEmpty(outside + "/target"), "keep");
  EXPECT_FALSE(fs::is_symlink(dest_ + "/filelink"));
  EXPECT_EQ(ts::ReadFileOrEmpty(dest_ + "/filelink"), "new");
}

TEST_F(ZipTest, FileModeAndTimesFollowTheEntry) {
  ts::ScopedEnv tz("TZ", "UTC");
  tzset();
  const time_t dos = 1577934246, mod = 1600000000, acc = 1500000000;  // dos: the builder's date
  // "UT" blocks: flags, then the times whose bits are set (modified, accessed, created).
  const std::string all("UT\x0d\x00\x07\x00\x10\x5e\x5f\x00\x2f\x68\x59\x00\x4e\x72\x53", 17);
  const std::string unknown_then_modified("\x01\x02\x01\x00\x7fUT\x05\x00\x01\x00\x10\x5e\x5f", 14);
  const std::tuple<ZipFixtureEntry, bool, time_t, time_t> cases[] = {
      {{"ro", "x", 0100444u << 16}, false, dos, dos},
      {{.name = "all", .data = "x", .local_extra = all}, true, mod, acc},
      {{.name = "mod", .data = "x", .local_extra = unknown_then_modified}, true, mod, dos},
  };
  for (const auto& [entry, writable, modified, accessed] : cases) {
    SCOPED_TRACE(entry.name);
    EXPECT_TRUE(Unpack(Package({entry})));
    struct stat status {};
    ASSERT_EQ(::stat((dest_ + "/" + entry.name).c_str(), &status), 0);
    EXPECT_EQ((status.st_mode & 0200) != 0, writable);
    EXPECT_EQ(status.st_mtime, modified);
    EXPECT_EQ(status.st_atime, accessed);
  }
}

TEST_F(ZipTest, MissingOrTruncatedPackageGivesFalseAndIsDeleted) {
  EXPECT_FALSE(Unpack(temp_.File("missing.zip")));
  EXPECT_FALSE(fs::exists(dest_));
  const std::string whole = ts::BuildZip({ZipFile("a", std::string(5000, 'a'))});
  for (size_t size : {whole.size() - 10, size_t{40}}) {  // into the end record; the data
    ts::WriteFileOrDie(temp_.File("p.zip"), whole.substr(0, size));
    EXPECT_FALSE(Unpack(temp_.File("p.zip")));
    EXPECT_TRUE(OnlyDestinationLeft());
  }
}

// The largest package allowed is walked with the cursor, by jumps and in order; stepping from the
// first entry again for each index would take hours. One entry more and it does not open.
TEST_F(ZipTest, CursorWalksTheLargestPackageAllowed) {
  std::vector<ZipFixtureEntry> entries;
  for (int i = 0; i < 100000; ++i) entries.push_back(ZipFile("e" + std::to_string(i), ""));
  auto zip = Logic::ZipArchive::Open(halcy::Utf8ToUtf16(Package(entries)));
  ASSERT_TRUE(zip);
  Logic::ZipEntry entry;
  auto name_at = [&](int index) {
    EXPECT_EQ(zip->GetEntry(index, &entry), Logic::ZR_OK);
    return entry.name == halcy::Utf8ToUtf16("e" + std::to_string(index));
  };
  for (int i : {50, 10, 60}) EXPECT_TRUE(name_at(i)) << i;
  const clock_t start = clock();
  for (int i = 0; i < 100000; ++i) {
    ASSERT_TRUE(name_at(i)) << i;
    ASSERT_TRUE(i % 1000 || clock() - start < 20 * CLOCKS_PER_SEC) << i;
  }
  for (int i : {99999, 7, 54321, 0, 54322}) EXPECT_TRUE(name_at(i)) << i;
  EXPECT_EQ(zip->GetEntry(100000, &entry), Logic::ZR_ARGS);
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_ARGS);
  entries.push_back(ZipFile("one more", ""));
  EXPECT_FALSE(Logic::ZipArchive::Open(halcy::Utf8ToUtf16(Package(entries))));
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_NOTOPEN);
}

// Attributes as MS-DOS and Windows hosts carry them (five bits) or from a Unix mode; the caps at
// their edges (512 MiB, a ratio of 1000:1). check names only the entries that would be refused.
TEST_F(ZipTest, PlexorectlListAndCheckReportEveryEntry) {
  const std::string mib = Noise(1 << 20);  // stored: 1 MiB compressed
  const std::pair<ZipFixtureEntry, const char*> cases[] = {
      {{.name = "dos", .external_attributes = 0x27, .host = 0}, "RHS-A\t0\t0\tdos"},
      {{.name = "ntfs", .external_attributes = 0x10, .host = 11}, "---D-\t0\t0\tntfs"},
      {{.name = "vfat", .external_attributes = 0xffffffc8, .host = 14}, "-----\t0\t0\tvfat"},
      {{.name = "C:\\unix\\rw", .data = std::string(60, 'z')}, "----A\t60\t6\tunix\\rw"},
      {{.name = "unix-dir", .external_attributes = 040755u << 16}, "---DA\t0\t0\tunix-dir"},
      {ZipFile("dir/", ""), "---DA\t0\t0\tdir/"},
      {{.name = "mac", .external_attributes = 0100600u << 16, .host = 19}, "----A\t0\t0\tmac"},
      {ZipFile("a/../../x", "2"), "----A\t1\t1\t../x"},
      {{.name = "enc", .data = "abc", .encrypted = true}, "----A\t3\t3\tenc"},
      {{.name = "r1000", .data = "x", .declared_size = 1000}, "----A\t1000\t1\tr1000"},
      {{.name = "r1001", .data = "x", .declared_size = 1001}, "----A\t1001\t1\tr1001"},
      {{.name = "512", .data = mib, .declared_size = 512 << 20}, "----A\t536870912\t1048576\t512"},
      {{.name = "513", .data = mib, .declared_size = (512 << 20) + 1},
       "----A\t536870913\t1048576\t513"},
      {{"link", "/etc/passwd", 0120777u << 16}, "----A\t11\t11\tlink"},
  };
  std::vector<ZipFixtureEntry> entries;
  std::string listing;
  for (const auto& [entry, line] : cases) {
    entries.push_back(entry);
    listing += std::string(line) + "\n";
  }
  const std::string package = Package(entries);
  const plexore_test::ToolResult list = RunTool(PLEXORECTL_PATH, {"zip", "list", package});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(list.out, listing);
  const plexore_test::ToolResult check = RunTool(PLEXORECTL_PATH, {"zip", "check", package});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_EQ(check.out,
            "7\t../x\t0x00000200 the name leaves the destination\n"
            "8\tenc\t0x00001000 encrypted\n"
            "10\tr1001\t0x05000000 inflation ratio past 1000:1\n"
            "12\t513\t0x05000000 larger than 512 MiB\n"
            "13\tlink\t0x00000200 a symbolic link\n");
}

TEST_F(ZipTest, PlexorectlExtractKeepsThePackageAndExitsWithTheOutcome) {
  for (const std::string& data : {std::string("small"), Noise(3 << 19)}) {
    const std::string path = Package({ZipFile("f", data)});
    const auto extract = RunTool(PLEXORECTL_PATH, {"zip", "extract", path, temp_.File("o")});
    EXPECT_EQ(extract.exit_code, 0) << extract.err;
    EXPECT_EQ(ts::ReadFileOrEmpty(temp_.File("o/f")), data);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(extract.err.find("1/1 entries") != std::string::npos, data.size() > 1000);
  }
  const std::string junk = temp_.File("junk.zip"), out = temp_.File("o");
  ts::WriteFileOrDie(junk, "junk");
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"zip", "check", temp_.File("p.zip")}, 0},
      {{"zip", "check", junk}, 1},
      {{"zip", "extract", junk, out}, 1},
      {{"zip", "extract", temp_.File("missing.zip"), out}, 1},
      {{"zip", "unpack", "x"}, 2},
  };
  for (const auto& [args, code] : cases) EXPECT_EQ(RunTool(PLEXORECTL_PATH, args).exit_code, code);
}

}  // namespace
