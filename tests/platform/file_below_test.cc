// Files below a directory: found and read only as regular files reached without a link, never
// blocking on a FIFO, and within a byte cap.
#include "platform/file_below.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "platform/strings.h"
#include "support/temp_env.h"

namespace {

using halcy::FileBelow;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

// Runs `work` on another thread. Should it still be running after ten seconds (stuck opening a
// FIFO), the FIFO is opened for writing to let it go, and the test fails.
template <class Work>
auto WithoutHanging(const std::string& fifo, Work work) {
  auto result = std::async(std::launch::async, work);
  if (result.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
    ADD_FAILURE() << "blocked on the FIFO " << fifo;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    result.wait();
    if (fd >= 0) ::close(fd);
  }
  return result.get();
}

class FileBelowTest : public ::testing::Test {
 protected:
  // root/outside.txt, root/ext/ the directory, with a.txt, sub/b.txt, a FIFO, and links to
  // the outside file and folder.
  FileBelowTest() : ext_(root_.path() + "/ext") {
    std::filesystem::create_directories(ext_ + "/sub");
    WriteFileOrDie(root_.File("outside.txt"), "secret");
    WriteFileOrDie(ext_ + "/a.txt", "alpha");
    WriteFileOrDie(ext_ + "/sub/b.txt", "beta");
    EXPECT_EQ(0, ::mkfifo((ext_ + "/fifo").c_str(), 0600));
    std::filesystem::create_symlink(root_.File("outside.txt"), ext_ + "/out.txt");
    std::filesystem::create_symlink(root_.path(), ext_ + "/outdir");
  }

  std::u16string Dir() const { return halcy::Utf8ToUtf16(ext_); }

  ScopedTempDir root_;
  std::string ext_;
};

TEST_F(FileBelowTest, EachPathIsFoundOnlyAsARegularFileWithoutALinkOnTheWay) {
  const struct {
    const char16_t* path;
    FileBelow found;
    const char* content;  // what ReadFileBelow gives
  } cases[] = {
      {u"a.txt", FileBelow::kRegularFile, "alpha"},
      {u"sub/b.txt", FileBelow::kRegularFile, "beta"},
      {u"sub\\b.txt", FileBelow::kRegularFile, "beta"},
      {u"missing.txt", FileBelow::kMissing, ""},
      {u"nosub/b.txt", FileBelow::kMissing, ""},
      {u"a.txt/b.txt", FileBelow::kMissing, ""},  // a file used as a folder
      {u"fifo", FileBelow::kNotRegularFile, ""},
      {u"out.txt", FileBelow::kSymbolicLink, ""},
      {u"outdir/outside.txt", FileBelow::kSymbolicLink, ""},
      {u"../outside.txt", FileBelow::kBadPath, ""},
      {u"./a.txt", FileBelow::kBadPath, ""},
      {u"/etc/passwd", FileBelow::kBadPath, ""},
  };
  const std::string fifo = ext_ + "/fifo";
  halcy::DirectoryProbe once(Dir());  // one open directory answers every case in turn
  for (const auto& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.path));
    EXPECT_EQ(c.found, WithoutHanging(fifo, [&] { return halcy::ProbeFileBelow(Dir(), c.path); }));
    EXPECT_EQ(c.found, WithoutHanging(fifo, [&] { return once.Probe(c.path); }));
    // Through the parent shared by sibling directories, written the browser's way too (with
    // backslashes and a trailing one); each probe is new, so none has opened its directory.
    EXPECT_EQ(c.found, WithoutHanging(fifo, [&] {
                halcy::SiblingDirectoryScope siblings;
                return halcy::DirectoryProbe(Dir()).Probe(c.path);
              }));
    std::u16string windows_style = Dir() + u"\\";
    std::replace(windows_style.begin(), windows_style.end(), u'/', u'\\');
    EXPECT_EQ(c.found, WithoutHanging(fifo, [&] {
                halcy::SiblingDirectoryScope siblings;
                return halcy::DirectoryProbe(windows_style).Probe(c.path);
              }));
    std::string bytes = "left over";
    EXPECT_EQ(c.found, WithoutHanging(fifo, [&] {
                return halcy::ReadFileBelow(Dir(), c.path, 1 << 20, &bytes);
              }));
    EXPECT_EQ(c.content, bytes);
  }
}

TEST_F(FileBelowTest, TheDirectoryMayBeReachedThroughALinkAndTheByteCapIsInclusive) {
  std::filesystem::create_directory_symlink(ext_, root_.File("ext-link"));
  const std::u16string link = halcy::Utf8ToUtf16(root_.File("ext-link"));
  std::string bytes;
  EXPECT_EQ(FileBelow::kRegularFile, halcy::ReadFileBelow(link, u"a.txt", 5, &bytes));
  EXPECT_EQ("alpha", bytes);
  EXPECT_EQ(FileBelow::kTooLarge, halcy::ReadFileBelow(link, u"a.txt", 4, &bytes));
  EXPECT_EQ("", bytes);
  EXPECT_EQ(FileBelow::kMissing,
            halcy::ProbeFileBelow(halcy::Utf8ToUtf16(root_.File("gone")), u"a.txt"));
}

TEST_F(FileBelowTest, SiblingDirectoriesShareTheirParentAndGiveTheAnswersOfAProbeOfTheirOwn) {
  // A second extension directory beside the first, one reached through a link, one missing,
  // and a file where a directory should be.
  std::filesystem::create_directories(root_.File("ext2"));
  WriteFileOrDie(root_.File("ext2") + "/a.txt", "second");
  std::filesystem::create_symlink(root_.File("outside.txt"), root_.File("ext2") + "/b.txt");
  std::filesystem::create_directory_symlink(ext_, root_.File("ext-link"));
  const struct {
    std::string directory;
    const char16_t* path;
    FileBelow found;
  } cases[] = {
      {ext_, u"a.txt", FileBelow::kRegularFile},
      {root_.File("ext2"), u"a.txt", FileBelow::kRegularFile},
      {root_.File("ext2"), u"b.txt", FileBelow::kSymbolicLink},
      {root_.File("ext-link"), u"a.txt", FileBelow::kRegularFile},  // the directory is followed
      {root_.File("ext-link"), u"out.txt", FileBelow::kSymbolicLink},
      {root_.File("gone"), u"a.txt", FileBelow::kMissing},
      {root_.File("gone") + "/ext", u"a.txt", FileBelow::kMissing},  // no parent to open
      {root_.File("gone") + "/ext2", u"a.txt", FileBelow::kMissing},
      {root_.File("outside.txt"), u"a.txt", FileBelow::kMissing},
      {ext_, u"sub/b.txt", FileBelow::kRegularFile},  // deeper: probed the usual way
      {ext_, u"outdir/outside.txt", FileBelow::kSymbolicLink},
      {"/", u"etc", FileBelow::kNotRegularFile},  // the root has no parent to share
  };
  halcy::SiblingDirectoryScope siblings;
  halcy::SiblingDirectoryScope nested;  // does nothing while the first is active
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directory + " " + halcy::Utf16ToUtf8(c.path));
    const std::u16string directory = halcy::Utf8ToUtf16(c.directory);
    EXPECT_EQ(c.found, halcy::DirectoryProbe(directory).Probe(c.path));
    EXPECT_EQ(c.found, halcy::ProbeFileBelow(directory, c.path));
  }
  // The parent is looked up by name only when it changes: one renamed after its first use is
  // still the one probed, under any sibling's name.
  EXPECT_EQ(FileBelow::kRegularFile, halcy::DirectoryProbe(Dir()).Probe(u"a.txt"));
  const std::string moved = root_.path() + "-moved";
  std::filesystem::rename(root_.path(), moved);
  EXPECT_EQ(FileBelow::kRegularFile, halcy::DirectoryProbe(Dir()).Probe(u"a.txt"));
  EXPECT_EQ(FileBelow::kMissing, halcy::ProbeFileBelow(Dir(), u"a.txt"));
  std::filesystem::rename(moved, root_.path());
}

TEST_F(FileBelowTest, ADirectoryProbeOpensItsDirectoryOnceAndKeepsIt) {
  // Opened at the first well-formed path: a bad one touches nothing, so the rename below is
  // still seen by the probe that has only refused paths so far.
  const std::u16string moved = halcy::Utf8ToUtf16(root_.File("moved"));
  halcy::DirectoryProbe late(Dir()), early(Dir());
  EXPECT_EQ(FileBelow::kBadPath, late.Probe(u"../outside.txt"));
  EXPECT_EQ(FileBelow::kRegularFile, early.Probe(u"a.txt"));
  std::filesystem::rename(ext_, root_.File("moved"));
  // The early probe holds the directory under its new name; the late one finds nothing.
  EXPECT_EQ(FileBelow::kRegularFile, early.Probe(u"sub/b.txt"));
  EXPECT_EQ(FileBelow::kMissing, early.Probe(u"missing.txt"));
  EXPECT_EQ(FileBelow::kMissing, late.Probe(u"a.txt"));
  EXPECT_EQ(FileBelow::kRegularFile, halcy::ProbeFileBelow(moved, u"a.txt"));
}

}  // namespace
