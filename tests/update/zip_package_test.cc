#include "update/zip_package.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/zip_builder.h"
#include "update/zip_archive.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildZip;
using testing_support::ReadFileOrEmpty;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;
using testing_support::ZipDir;
using testing_support::ZipFile;
using testing_support::ZipFixtureEntry;

class UnzipPackageTest : public ::testing::Test {
 protected:
  std::string ZipPath() const { return temp_.File("pkg.zip"); }
  std::string Dest() const { return temp_.File("dest"); }
  std::string Outside() const { return temp_.File("outside"); }

  bool Unpack(const std::vector<ZipFixtureEntry>& entries) {
    WriteFileOrDie(ZipPath(), BuildZip(entries));
    return Logic::UnzipPackage(halcy::Utf8ToUtf16(ZipPath()), halcy::Utf8ToUtf16(Dest()));
  }

  // Every path below the temporary folder but inside the destination.
  std::vector<std::string> StrayPaths() const {
    std::vector<std::string> stray;
    for (const auto& item : fs::recursive_directory_iterator(temp_.path())) {
      const std::string path = item.path().string();
      if (path.rfind(Dest(), 0) != 0 && path != Outside()) stray.push_back(path);
    }
    return stray;
  }

  ScopedTempDir temp_;
};

TEST_F(UnzipPackageTest, WritesFilesAndDirectoriesThenDeletesPackage) {
  EXPECT_TRUE(Unpack({ZipFile("a.txt", "alpha"), ZipFile("sub/deeper/b.txt", "beta"),
                      ZipDir("empty/"), ZipDir("empty2/nested/")}));
  EXPECT_EQ(ReadFileOrEmpty(Dest() + "/a.txt"), "alpha");
  EXPECT_EQ(ReadFileOrEmpty(Dest() + "/sub/deeper/b.txt"), "beta");
  EXPECT_TRUE(fs::is_directory(Dest() + "/empty"));
  EXPECT_TRUE(fs::is_directory(Dest() + "/empty2/nested"));
  EXPECT_FALSE(fs::exists(ZipPath()));
}

TEST_F(UnzipPackageTest, StoredEntryAndTrailingSeparatorsOnDestination) {
  ZipFixtureEntry stored = ZipFile("s.bin", std::string("\0\1\2stored", 9));
  stored.deflate = false;
  WriteFileOrDie(ZipPath(), BuildZip({stored}));
  EXPECT_TRUE(
      Logic::UnzipPackage(halcy::Utf8ToUtf16(ZipPath()), halcy::Utf8ToUtf16(Dest() + "//\\")));
  EXPECT_EQ(ReadFileOrEmpty(Dest() + "/s.bin"), std::string("\0\1\2stored", 9));
}

TEST_F(UnzipPackageTest, MissingPackageGivesFalseAndTouchesNothing) {
  EXPECT_FALSE(Logic::UnzipPackage(halcy::Utf8ToUtf16(ZipPath()), halcy::Utf8ToUtf16(Dest())));
  EXPECT_FALSE(fs::exists(Dest()));
}

// Each escaping name either lands at `lands` below the destination or is refused ("").
struct EscapeCase {
  const char* name;
  const char* lands;
};

TEST_F(UnzipPackageTest, EscapingNamesLandInsideOrAreRefused) {
  const EscapeCase cases[] = {
      {"../x", ""},
      {"a/../../x", ""},
      {"C:..\\x", ""},
      {"..", ""},
      {"./x", ""},
      {"a//b", ""},
      {"a/./b", ""},
      {"ctl\x01name", ""},
      {"dir/..", ""},
      {"C:\\abs\\x", "abs/x"},
      {"/etc/x", "etc/x"},
      {"c:/d:/x", "x"},
      {"a/b/../c", "c"},
      {"a\\..\\b\\..\\c", "c"},
      {"\\\\server\\share\\f", "server/share/f"},
  };
  for (const EscapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Dest());
    const bool lands = *c.lands != '\0';
    EXPECT_EQ(Unpack({ZipFile(c.name, "payload")}), lands);
    if (lands) {
      EXPECT_EQ(ReadFileOrEmpty(Dest() + "/" + c.lands), "payload");
    } else {
      EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_NOFILE);
    }
    EXPECT_EQ(StrayPaths(), std::vector<std::string>());
    EXPECT_FALSE(fs::exists(ZipPath()));
  }
}

TEST_F(UnzipPackageTest, SymlinkPlantedInDestinationIsNotFollowed) {
  fs::create_directories(Outside());
  fs::create_directories(Dest());
  WriteFileOrDie(Outside() + "/target.txt", "keep");
  fs::create_directory_symlink(Outside(), Dest() + "/dirlink");
  fs::create_symlink(Outside() + "/target.txt", Dest() + "/filelink");
  EXPECT_TRUE(Unpack({ZipFile("dirlink/x.txt", "evil"), ZipFile("filelink", "replaced")}));
  EXPECT_FALSE(fs::exists(Outside() + "/x.txt"));
  EXPECT_EQ(ReadFileOrEmpty(Outside() + "/target.txt"), "keep");
  // The link under the file's name is replaced by a regular file, never written through.
  EXPECT_FALSE(fs::is_symlink(Dest() + "/filelink"));
  EXPECT_EQ(ReadFileOrEmpty(Dest() + "/filelink"), "replaced");
}

TEST_F(UnzipPackageTest, LinkEntriesAreNeverCreated) {
  ZipFixtureEntry link = ZipFile("link", "/etc/passwd");
  link.external_attributes = 0120777u << 16;
  EXPECT_FALSE(Unpack({link}));
  EXPECT_EQ(Logic::LastZipResult(), Logic::ZR_NOFILE);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Dest() + "/link")));
}

TEST_F(UnzipPackageTest, UnixReadOnlyEntryBecomesReadOnlyFile) {
  ZipFixtureEntry read_only = ZipFile("ro.txt", "fixed");
  read_only.external_attributes = 0100444u << 16;
  EXPECT_TRUE(Unpack({read_only, ZipFile("rw.txt", "free")}));
  struct stat status {};
  ASSERT_EQ(::stat((Dest() + "/ro.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0222, 0u);
  ASSERT_EQ(::stat((Dest() + "/rw.txt").c_str(), &status), 0);
  EXPECT_NE(status.st_mode & 0200, 0u);
}

TEST_F(UnzipPackageTest, ExtendedTimestampSetsFileTimes) {
  ZipFixtureEntry timed = ZipFile("t.txt", "time");
  timed.local_extra = testing_support::ExtendedTimestamp(3, 1600000000, 1500000000, 0);
  EXPECT_TRUE(Unpack({timed}));
  struct stat status {};
  ASSERT_EQ(::stat((Dest() + "/t.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mtime, 1600000000);
  EXPECT_EQ(status.st_atime, 1500000000);
}

// A package whose entries all fail is false; one good entry is enough for true. The package
// goes either way.
struct OutcomeCase {
  const char* what;
  bool good_entry;
  bool expected;
};

TEST_F(UnzipPackageTest, OutcomeAndDeletionWhateverTheEntries) {
  ZipFixtureEntry encrypted = ZipFile("secret.txt", "plain");
  encrypted.encrypted = true;
  ZipFixtureEntry bad_crc = ZipFile("crc.txt", "data");
  bad_crc.wrong_crc = true;
  const OutcomeCase cases[] = {{"all bad", false, false}, {"one good", true, true}};
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ZipFixtureEntry> entries = {encrypted, bad_crc, ZipFile("../up", "x")};
    if (c.good_entry) entries.push_back(ZipFile("good.txt", "ok"));
    EXPECT_EQ(Unpack(entries), c.expected);
    EXPECT_FALSE(fs::exists(ZipPath()));
    EXPECT_FALSE(fs::exists(Dest() + "/secret.txt"));
  }
}

TEST_F(UnzipPackageTest, TruncatedOrGarbagePackageGivesFalseAndIsDeleted) {
  const std::string whole = BuildZip({ZipFile("a.txt", std::string(5000, 'a'))});
  for (const std::string& bytes : {whole.substr(0, whole.size() - 10), whole.substr(0, 40),
                                   std::string("not a zip at all"), std::string()}) {
    WriteFileOrDie(ZipPath(), bytes);
    EXPECT_FALSE(Logic::UnzipPackage(halcy::Utf8ToUtf16(ZipPath()), halcy::Utf8ToUtf16(Dest())));
    EXPECT_FALSE(fs::exists(ZipPath()));
  }
}

}  // namespace
