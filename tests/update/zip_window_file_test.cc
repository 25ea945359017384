// The windowed file functions minizip reads packages through: every read, after any seek, must
// give the file's bytes at that offset, whether it is answered from the window, refills it, or
// goes straight to the caller's buffer; the end of the file gives a short read, not garbage.

#include "update/zip_window_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_env.h"

namespace {

namespace ts = testing_support;
using Logic::kZipReadWindow;

std::string Pattern(size_t size) {  // no period that divides the window size
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

class ZipWindowFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logic::FillZipWindowFileFunctions(&functions_);
    path_ = dir_.path() + "/package.zip";
    ts::WriteFileOrDie(path_, bytes_);
  }
  voidpf OpenRead(const std::string& path) {
    return functions_.zopen64_file(nullptr, path.c_str(),
                                   ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
  }
  std::string ReadAt(voidpf stream, int origin, uint64_t offset, size_t size) {
    EXPECT_EQ(functions_.zseek64_file(nullptr, stream, offset, origin), 0);
    std::string out(size, '\0');
    out.resize(functions_.zread_file(nullptr, stream, out.data(), size));
    return out;
  }

  zlib_filefunc64_def functions_{};
  ts::ScopedTempDir dir_;
  std::string path_;
  const std::string bytes_ = Pattern(3 * kZipReadWindow + 123);
};

TEST_F(ZipWindowFileTest, ReadsAfterSeeksGiveTheFilesBytes) {
  const size_t end = bytes_.size();
  const size_t w = kZipReadWindow;
  struct Step {
    uint64_t offset;
    size_t size;
  };
  // Small reads inside and across the window's edge, backwards, a jump far ahead, reads as
  // large as the window (straight to the buffer), and one that runs past the end.
  const std::vector<Step> steps = {{0, 1},          {1, 3},   {w - 2, 4},     {10, 20},
                                   {2 * w + 5, 46}, {0, w},   {w / 2, 2 * w}, {w - 1, 1},
                                   {end - 3, 10},   {end, 5}, {end + 100, 1}, {7, 2}};
  voidpf stream = OpenRead(path_);
  ASSERT_NE(stream, nullptr);
  for (const Step& step : steps) {
    const std::string expected =
        step.offset >= end ? std::string() : bytes_.substr(step.offset, step.size);
    EXPECT_EQ(ReadAt(stream, ZLIB_FILEFUNC_SEEK_SET, step.offset, step.size), expected)
        << "at " << step.offset << " size " << step.size;
    EXPECT_EQ(functions_.ztell64_file(nullptr, stream), step.offset + expected.size());
  }
  EXPECT_EQ(functions_.zerror_file(nullptr, stream), 0);
  EXPECT_EQ(functions_.zclose_file(nullptr, stream), 0);
}

TEST_F(ZipWindowFileTest, SeeksFromTheCurrentPositionAndFromTheEnd) {
  voidpf stream = OpenRead(path_);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(ReadAt(stream, ZLIB_FILEFUNC_SEEK_SET, 100, 10), bytes_.substr(100, 10));
  EXPECT_EQ(ReadAt(stream, ZLIB_FILEFUNC_SEEK_CUR, kZipReadWindow, 5),
            bytes_.substr(110 + kZipReadWindow, 5));
  // minizip finds the central directory by seeking to the end, telling, and reading back.
  EXPECT_EQ(ReadAt(stream, ZLIB_FILEFUNC_SEEK_END, 0, 4), "");
  EXPECT_EQ(functions_.ztell64_file(nullptr, stream), bytes_.size());
  EXPECT_EQ(ReadAt(stream, ZLIB_FILEFUNC_SEEK_SET, bytes_.size() - 22, 22),
            bytes_.substr(bytes_.size() - 22));
  EXPECT_EQ(functions_.zseek64_file(nullptr, stream, 0, 99), -1);
  EXPECT_EQ(functions_.zclose_file(nullptr, stream), 0);
}

TEST_F(ZipWindowFileTest, OpensOnlyExistingRegularFilesForReading) {
  EXPECT_EQ(OpenRead(dir_.path() + "/missing.zip"), nullptr);
  EXPECT_EQ(OpenRead(dir_.path()), nullptr);
  EXPECT_EQ(functions_.zopen64_file(nullptr, path_.c_str(),
                                    ZLIB_FILEFUNC_MODE_WRITE | ZLIB_FILEFUNC_MODE_CREATE),
            nullptr);
  voidpf stream = OpenRead(path_);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(functions_.zwrite_file(nullptr, stream, "x", 1), 0u);
  EXPECT_EQ(functions_.zclose_file(nullptr, stream), 0);
}

}  // namespace
