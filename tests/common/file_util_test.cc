#include "common/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/pending_file_operations.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace {

using halcy::Utf8ToUtf16;
using testing_support::ReadFileOrEmpty;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

bool Exists(const std::string& path) {
  return std::filesystem::symlink_status(path).type() != std::filesystem::file_type::not_found;
}

void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }

// A small tree: root/a.txt, root/b.bin, root/sub/c.txt, root/sub/deeper/d.txt
void MakeTree(const std::string& root) {
  MakeDir(root + "/sub/deeper");
  WriteFileOrDie(root + "/a.txt", "alpha");
  WriteFileOrDie(root + "/b.bin", std::string("\0\1\2", 3));
  WriteFileOrDie(root + "/sub/c.txt", "gamma");
  WriteFileOrDie(root + "/sub/deeper/d.txt", "delta");
}

class FileUtilTest : public ::testing::Test {
 protected:
  std::u16string W(const std::string& relative) const {
    return Utf8ToUtf16(dir_.path()) + u"\\" + Utf8ToUtf16(relative);
  }
  std::string N(const std::string& relative) const { return dir_.path() + "/" + relative; }

  ScopedTempDir dir_;
};

TEST_F(FileUtilTest, ReadWholeFileKeepsEveryByteAndAddsAZero) {
  for (const std::string& bytes : {std::string("\xff\0def", 5), std::string()}) {
    WriteFileOrDie(N("data.bin"), bytes);
    size_t size = 99;
    std::unique_ptr<char[]> buffer = Logic::ReadWholeFile(W("data.bin"), &size);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(bytes, std::string(buffer.get(), size));
    EXPECT_EQ('\0', buffer[size]);
  }
  MakeDir(N("folder"));
  EXPECT_FALSE(Logic::ReadWholeFile(W("folder")));
  EXPECT_FALSE(Logic::ReadWholeFile(W("missing")));
}

TEST_F(FileUtilTest, FileInfoGivesSizeKindAndWriteTimeInMicrosecondsSince1601) {
  WriteFileOrDie(N("f.txt"), std::string(1234, 'x'));
  // 2020-01-01 00:00:00.250 UTC
  struct timespec times[2] = {{1577836800, 250000000}, {1577836800, 250000000}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, N("f.txt").c_str(), times, 0));
  Logic::FileInfo info;
  ASSERT_TRUE(Logic::GetFileInfo(W("f.txt"), &info));
  EXPECT_EQ(std::tuple(1234, false, (1577836800LL + 11644473600LL) * 1000000 + 250000),
            std::tuple(info.size, info.is_directory, info.last_write_time));
  MakeDir(N("d"));
  EXPECT_TRUE(Logic::GetFileInfo(W("d"), &info) && info.is_directory);
  EXPECT_FALSE(Logic::GetFileInfo(W("nothing"), &info));
}

TEST_F(FileUtilTest, DeleteRemovesFilesAndDirectoriesAndCountsMissingAsDone) {
  WriteFileOrDie(N("file"), "x");
  MakeDir(N("empty"));
  MakeTree(N("tree"));
  EXPECT_TRUE(Logic::DeletePath(W("file"), false));
  EXPECT_TRUE(Logic::DeletePath(W("empty"), false));
  EXPECT_FALSE(Exists(N("file")) || Exists(N("empty")));
  EXPECT_FALSE(Logic::DeletePath(W("tree"), false));  // only the files directly inside go
  EXPECT_FALSE(Exists(N("tree/a.txt")));
  EXPECT_EQ("delta", ReadFileOrEmpty(N("tree/sub/deeper/d.txt")));
  EXPECT_TRUE(Logic::DeletePath(W("tree"), true));
  EXPECT_FALSE(Exists(N("tree")));
  EXPECT_TRUE(Logic::DeletePath(W("missing"), false));
  EXPECT_TRUE(Logic::DeletePath(W("no-dir\\missing"), true));  // the parent is missing too
}

// The source tree is copied onto "dst", which is missing or holds old files; absent (null)
// entries must not exist afterwards.
TEST_F(FileUtilTest, CopyBringsTheTreeOrItsFilesIntoANewOrExistingDestination) {
  using Files = std::vector<std::pair<const char*, const char*>>;
  const std::tuple<bool, bool, Files> cases[] = {
      {true, false, {{"sub/deeper/d.txt", "delta"}, {"src", nullptr}}},
      {true, true, {{"a.txt", "alpha"}, {"sub/c.txt", "gamma"}, {"keep.txt", "kept"}}},
      {false, false, {{"a.txt", "alpha"}, {"sub", nullptr}}},  // the source folder itself
      {false, true, {{"a.txt", "alpha"}, {"sub/c.txt", "old"}, {"src", nullptr}}},
  };
  for (const auto& [recursive, existing, after] : cases) {
    SCOPED_TRACE(testing::Message() << "recursive " << recursive << " existing " << existing);
    ScopedTempDir dir;
    const std::string src = dir.File("src"), dst = dir.File("dst");
    MakeTree(src);
    if (existing) {
      MakeDir(dst + "/sub");
      WriteFileOrDie(dst + "/a.txt", "old");
      WriteFileOrDie(dst + "/keep.txt", "kept");
      WriteFileOrDie(dst + "/sub/c.txt", "old");
    }
    ASSERT_TRUE(Logic::CopyPath(Utf8ToUtf16(src), Utf8ToUtf16(dst), recursive));
    for (const auto& [name, contents] : after) {
      EXPECT_EQ(contents != nullptr, Exists(dst + "/" + name)) << name;
      EXPECT_EQ(contents ? contents : "", ReadFileOrEmpty(dst + "/" + name)) << name;
    }
  }
  WriteFileOrDie(N("single.txt"), "one file");
  ASSERT_TRUE(Logic::CopyPath(W("single.txt"), W("copy.txt"), false));
  EXPECT_EQ("one file", ReadFileOrEmpty(N("copy.txt")));
  EXPECT_FALSE(Logic::CopyPath(W("missing"), W("dst"), true));
  MakeTree(N("src"));
  EXPECT_FALSE(Logic::CopyPath(W("src"), W("src\\inner"), false));  // into itself
}

// The shell's path limit: 259 characters pass, 260 do not.
TEST_F(FileUtilTest, DeleteAndCopyRefusePathsOf260CharactersOrMore) {
  // A path of `length` characters in the test's folder.
  const auto named = [&](size_t length, char c) {
    return dir_.path() + "/" + std::string(length - dir_.path().size() - 1, c);
  };
  WriteFileOrDie(named(259, 'n'), "x");
  WriteFileOrDie(named(260, 'm'), "x");
  MakeTree(N("src"));
  EXPECT_FALSE(Logic::DeletePath(Utf8ToUtf16(named(260, 'm')), true));
  EXPECT_FALSE(Logic::CopyPath(Utf8ToUtf16(named(260, 'm')), W("dst"), true));
  EXPECT_FALSE(Logic::CopyPath(W("src"), Utf8ToUtf16(named(260, 'd')), true));
  EXPECT_TRUE(Exists(named(260, 'm')));
  EXPECT_FALSE(Exists(N("dst")) || Exists(named(260, 'd')));
  EXPECT_TRUE(Logic::DeletePath(Utf8ToUtf16(named(259, 'n')), false));
  EXPECT_FALSE(Exists(named(259, 'n')));
}

TEST_F(FileUtilTest, DeleteAtRebootQueuesContentsBeforeTheirDirectoryAndDeletesNothingYet) {
  ScopedTempDir appdata;
  ScopedEnv appdata_env("HALCY_APPDATA", appdata.path());
  MakeTree(N("ext"));
  WriteFileOrDie(N("ext/.hidden"), "dot names are skipped");
  Logic::DeleteDirectoryAtReboot(W("ext") + u"/", true);  // either separator, trailing
  EXPECT_TRUE(Exists(N("ext/a.txt")));
  const std::string root = dir_.path() + "/ext//";  // "%s\\%s" after the trailing backslash
  std::string queued;                               // each entry ended by a NUL
  for (const std::string& entry :
       {root + "a.txt", root + "b.bin", root + "sub//c.txt", root + "sub//deeper//d.txt",
        root + "sub//deeper/", root + "sub/", dir_.path() + "/ext/"}) {
    queued += entry + '\0';
  }
  EXPECT_EQ(queued, ReadFileOrEmpty(halcy::PendingFileOperationsPath()));
  EXPECT_EQ(6, halcy::RunPendingFileOperations());
  EXPECT_FALSE(Exists(N("ext/sub")));
  EXPECT_TRUE(Exists(N("ext/.hidden")));  // so the directory itself stays
  EXPECT_EQ("", ReadFileOrEmpty(halcy::PendingFileOperationsPath()));
}

}  // namespace
