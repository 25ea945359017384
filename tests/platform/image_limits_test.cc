// The image codec's size checks: every kind it decodes is measured from its header alone (images
// made here with libgd's own writers), what cannot be measured is refused, and an image over the
// pixel cap is refused before it is decoded.
#include <gd.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "platform/image_codec.h"

namespace {

using halcy::ImageFormat;
using halcy::ImageResult;
using halcy::ImageSize;

void PutLe(std::string* s, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) (*s)[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::string Le(uint32_t v, int bytes) {
  std::string s(bytes, '\0');
  PutLe(&s, 0, v, bytes);
  return s;
}
std::string Be(uint32_t v, int bytes) {
  std::string s;
  for (int i = bytes - 1; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

// libgd's writers.
using Writer = void* (*)(gdImagePtr, int*);
void* Png(gdImagePtr im, int* size) { return gdImagePngPtr(im, size); }
void* Jpeg(gdImagePtr im, int* size) { return gdImageJpegPtr(im, size, 90); }
void* Gif(gdImagePtr im, int* size) { return gdImageGifPtr(im, size); }
void* Bmp(gdImagePtr im, int* size) { return gdImageBmpPtr(im, size, 0); }
void* WebpLossy(gdImagePtr im, int* size) { return gdImageWebpPtrEx(im, size, 80); }
void* WebpLossless(gdImagePtr im, int* size) { return gdImageWebpPtrEx(im, size, gdWebpLossless); }
void* Tiff(gdImagePtr im, int* size) { return gdImageTiffPtr(im, size); }

// A `width` x `height` true-colour image with a few colours, written by `writer`.
std::string Written(Writer writer, int width, int height) {
  gdImagePtr im = gdImageCreateTrueColor(width, height);
  gdImageFilledRectangle(im, 0, 0, width - 1, height - 1, gdTrueColor(200, 30, 90));
  gdImageFilledRectangle(im, 0, 0, width / 2, height / 2, gdTrueColor(10, 250, 40));
  int size = 0;
  void* bytes = writer(im, &size);
  gdImageDestroy(im);
  std::string out = bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
  gdFree(bytes);
  EXPECT_FALSE(out.empty());
  return out;
}

// An icon file with one entry whose directory claims `entry_side` square pixels.
std::string Ico(const std::string& image, int entry_side) {
  std::string ico("\0\0\1\0\1\0", 6);
  ico += static_cast<char>(entry_side) + std::string(1, static_cast<char>(entry_side));
  ico += std::string("\0\0\1\0\x18\0", 6) + Le(static_cast<uint32_t>(image.size()), 4) + Le(22, 4);
  return ico + image;
}

// The bitmap of an icon entry: a BMP without its file header, the height doubled for the mask,
// and the mask's rows (32-bit aligned) after the colours.
std::string IcoBitmap(int width, int height) {
  std::string dib = Written(Bmp, width, height).substr(14);
  PutLe(&dib, 8, static_cast<uint32_t>(height * 2), 4);
  return dib + std::string(static_cast<size_t>((width + 31) / 32 * 4 * height), '\0');
}

// The extended WebP container ("VP8X") around a lossless frame, with its canvas size.
std::string WebpExtended(int width, int height) {
  const std::string lossless = Written(WebpLossless, width, height);
  std::string body = "WEBPVP8X" + Le(10, 4) + std::string(4, '\0') + Le(width - 1, 3) +
                     Le(height - 1, 3) + lossless.substr(12);
  return "RIFF" + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

std::string PngChunk(const std::string& type, const std::string& data) {
  const std::string typed = type + data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(typed.data()), typed.size());
  return Be(static_cast<uint32_t>(data.size()), 4) + typed + Be(static_cast<uint32_t>(crc), 4);
}

// A complete, valid 1-bit grey PNG, all black, deflated row by row: a 20000 x 20000 one is about
// 50 KB on disk and 400 MB once decoded.
std::string GreyPng(uint32_t width, uint32_t height) {
  z_stream zs{};
  EXPECT_EQ(Z_OK, deflateInit(&zs, Z_BEST_COMPRESSION));
  std::string row(1 + (width + 7) / 8, '\0');  // filter byte "none", then the pixels
  std::string idat;
  char out[1 << 16];
  for (uint32_t y = 0; y < height; ++y) {
    zs.next_in = reinterpret_cast<Bytef*>(row.data());
    zs.avail_in = static_cast<uInt>(row.size());
    const int flush = y + 1 == height ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(out);
      zs.avail_out = sizeof(out);
      deflate(&zs, flush);
      idat.append(out, sizeof(out) - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  const std::string header = Be(width, 4) + Be(height, 4) + std::string("\1\0\0\0\0", 5);
  return "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", header) + PngChunk("IDAT", idat) +
         PngChunk("IEND", "");
}

long MaxRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(ImageLimitsTest, EveryKindIsMeasuredFromItsHeaderAndDecodesToThatSize) {
  std::string gif_beyond_screen = Written(Gif, 37, 21);
  PutLe(&gif_beyond_screen, 6, 1, 2);  // a 1 x 1 logical screen; the frame reaches further
  PutLe(&gif_beyond_screen, 8, 1, 2);
  std::string top_down_bmp = Written(Bmp, 37, 21);
  PutLe(&top_down_bmp, 22, static_cast<uint32_t>(-21), 4);
  std::string big_endian_tiff = std::string("MM\0*", 4) + Be(8, 4) + Be(2, 2) + Be(256, 2) +
                                Be(3, 2) + Be(1, 4) + Be(37, 2) + Be(0, 2) + Be(257, 2) + Be(4, 2) +
                                Be(1, 4) + Be(21, 4) + Be(0, 4);
  const struct {
    const char* name;
    std::string bytes;
    bool decodes;  // a complete image, not just a header
  } cases[] = {
      {"png", Written(Png, 37, 21), true},
      {"jpeg", Written(Jpeg, 37, 21), true},
      {"gif", Written(Gif, 37, 21), true},
      {"gif frame beyond its screen", gif_beyond_screen, false},
      {"bmp", Written(Bmp, 37, 21), true},
      {"bmp top-down", top_down_bmp, true},
      {"bmp core header",
       "BM" + std::string(12, '\0') + Le(12, 4) + Le(37, 2) + Le(21, 2) + Le(1, 2) + Le(24, 2),
       false},
      {"webp lossy", Written(WebpLossy, 37, 21), true},
      {"webp lossless", Written(WebpLossless, 37, 21), true},
      {"webp extended", WebpExtended(37, 21), true},
      {"tiff", Written(Tiff, 37, 21), true},
      {"tiff big-endian", big_endian_tiff, false},
      {"ico with png", Ico(Written(Png, 37, 21), 37), true},
      {"ico with bitmap", Ico(IcoBitmap(37, 21), 37), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSize size;
    ASSERT_TRUE(halcy::ReadImageSize(c.bytes, &size));
    EXPECT_EQ(std::pair(37u, 21u), std::pair(size.width, size.height));
    if (!c.decodes) continue;
    std::string png;
    ASSERT_EQ(ImageResult::kOk, halcy::ReencodeImage(c.bytes, ImageFormat::kPng, 1024, &png));
    EXPECT_EQ(Be(37, 4) + Be(21, 4), png.substr(16, 8));  // the IHDR's width and height
  }
}

TEST(ImageLimitsTest, WhatCannotBeMeasuredIsRefused) {
  const std::string png = Written(Png, 5, 5);
  const std::string tiff_without_height = std::string("II*\0", 4) + Le(8, 4) + Le(1, 2) +
                                          Le(256, 2) + Le(3, 2) + Le(1, 4) + Le(5, 4) + Le(0, 4);
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"png signature only", png.substr(0, 8)},
      {"png whose first chunk is not IHDR", std::string(png).replace(12, 4, "tEXt")},
      {"png zero width", std::string(png).replace(16, 4, Be(0, 4))},
      {"jpeg without a frame header", std::string("\xFF\xD8\xFF\xDA\x00\x02", 6)},
      {"jpeg cut before its frame", Written(Jpeg, 5, 5).substr(0, 4)},
      {"gif without an image", Written(Gif, 5, 5).substr(0, 13) + ";"},
      {"bmp cut in its header", Written(Bmp, 5, 5).substr(0, 20)},
      {"webp with an unknown chunk", Written(WebpLossy, 5, 5).replace(12, 4, "VP8Q")},
      {"tiff without its height", tiff_without_height},
      {"tiff whose directory is beyond the end", std::string("II*\0", 4) + Le(4000, 4)},
      {"ico without entries", std::string("\0\0\1\0\0\0", 6)},
      {"ico entry beyond the end", Ico(png, 5).substr(0, 30)},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    ImageSize size;
    EXPECT_FALSE(halcy::ReadImageSize(bytes, &size));
    std::string out = "left over";
    EXPECT_EQ(ImageResult::kUnmeasurable,
              halcy::ReencodeImage(bytes, ImageFormat::kPng, 1024, &out));
    EXPECT_EQ("", out);
  }
}

TEST(ImageLimitsTest, EachSideIsCappedAndTheCapIsInclusive) {
  for (const auto& [width, height, expected] : {std::tuple{1024u, 1024u, ImageResult::kOk},
                                                {1025u, 1u, ImageResult::kTooLarge},
                                                {1u, 1025u, ImageResult::kTooLarge}}) {
    std::string out;
    EXPECT_EQ(expected, halcy::ReencodeImage(GreyPng(width, height), ImageFormat::kBmp, 1024, &out))
        << width << "x" << height;
    EXPECT_EQ(expected == ImageResult::kOk, !out.empty());
  }
}

// The ICO's directory claims 16 x 16; the image inside is what would be decoded.
TEST(ImageLimitsTest, AHugeImageInASmallFileIsRefusedBeforeDecoding) {
  const std::string huge = GreyPng(20000, 20000);
  ASSERT_LT(huge.size(), size_t{1} << 20);
  for (const std::string& bytes : {huge, Ico(huge, 16)}) {
    ImageSize size;
    ASSERT_TRUE(halcy::ReadImageSize(bytes, &size));
    EXPECT_EQ(std::pair(20000u, 20000u), std::pair(size.width, size.height));
    const long before = MaxRssKiB();
    std::string out;
    EXPECT_EQ(ImageResult::kTooLarge, halcy::ReencodeImage(bytes, ImageFormat::kPng, 1024, &out));
    EXPECT_EQ("", out);
    // Decoding would have taken 400 MB for the pixels (and 50 MB for the rows) at its peak.
    EXPECT_LT(MaxRssKiB() - before, 64 * 1024) << "the image was decoded";
  }
}

}  // namespace
