#include "platform/image_codec.h"

#include <gd.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/log_controller.h"
#include "platform/strings.h"

namespace halcy {
namespace {

void RouteGdMessage(int /*priority*/, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof(text), format, args);
  std::u16string wide = Utf8ToUtf16(text);
  while (!wide.empty() && wide.back() == u'\n') wide.pop_back();
  if (ILogController* log = GetLogController(); log && log->IsEnabled(16, u"gdi;")) {
    log->Write(16, u"gdi;", wide.c_str());
  }
}

bool StartsWith(std::string_view data, size_t offset, std::string_view magic) {
  return data.size() >= offset + magic.size() && data.substr(offset, magic.size()) == magic;
}

// Little- and big-endian reads; the caller has checked that the bytes are there.
uint32_t ReadLe(std::string_view data, size_t offset, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(data[offset + i]);
  return v;
}

uint32_t ReadBe(std::string_view data, size_t offset, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(data[offset + i]);
  return v;
}

void WriteLe32(std::string* data, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*data)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A signed 32-bit header field as a size: bitmaps store top-down images with a negative height.
uint32_t Magnitude(uint32_t field) {
  const int64_t v = static_cast<int32_t>(field);
  return static_cast<uint32_t>(v < 0 ? -v : v);
}

bool IsPng(std::string_view data) { return StartsWith(data, 0, "\x89PNG\r\n\x1a\n"); }
bool IsJpeg(std::string_view data) { return StartsWith(data, 0, "\xFF\xD8\xFF"); }
bool IsGif(std::string_view data) {
  return StartsWith(data, 0, "GIF87a") || StartsWith(data, 0, "GIF89a");
}
bool IsBmp(std::string_view data) { return StartsWith(data, 0, "BM"); }
bool IsWebp(std::string_view data) {
  return StartsWith(data, 0, "RIFF") && StartsWith(data, 8, "WEBP");
}
bool IsTiff(std::string_view data) {
  return StartsWith(data, 0, std::string_view("II*\0", 4)) ||
         StartsWith(data, 0, std::string_view("MM\0*", 4));
}
bool IsIco(std::string_view data) { return StartsWith(data, 0, std::string_view("\0\0\1\0", 4)); }

// --- Sizes from headers ---

bool PngSize(std::string_view data, ImageSize* size) {
  // The signature, then the first chunk, which must be IHDR: length, type, width, height.
  if (data.size() < 24 || !StartsWith(data, 12, "IHDR")) return false;
  *size = {ReadBe(data, 16, 4), ReadBe(data, 20, 4)};
  return true;
}

// The logical screen, widened to the first image's frame when that reaches beyond it.
bool GifSize(std::string_view data, ImageSize* size) {
  if (data.size() < 13) return false;
  const uint32_t screen_width = ReadLe(data, 6, 2), screen_height = ReadLe(data, 8, 2);
  const uint8_t flags = static_cast<uint8_t>(data[10]);
  size_t at = 13 + ((flags & 0x80) ? 3u << ((flags & 7) + 1) : 0);
  while (at < data.size()) {
    const uint8_t block = static_cast<uint8_t>(data[at]);
    if (block == 0x2C) {  // image descriptor: left, top, width, height
      if (data.size() < at + 9) return false;
      const uint64_t right = uint64_t{ReadLe(data, at + 1, 2)} + ReadLe(data, at + 5, 2);
      const uint64_t bottom = uint64_t{ReadLe(data, at + 3, 2)} + ReadLe(data, at + 7, 2);
      *size = {static_cast<uint32_t>(right > screen_width ? right : screen_width),
               static_cast<uint32_t>(bottom > screen_height ? bottom : screen_height)};
      return true;
    }
    if (block != 0x21 || at + 2 > data.size()) return false;  // only extensions may come first
    at += 2;                                                  // introducer and label
    while (at < data.size() && data[at] != 0) at += 1 + static_cast<uint8_t>(data[at]);
    ++at;  // the terminating empty sub-block
  }
  return false;
}

// A BMP information header (without the file header): the core header's 16-bit fields, or the
// 32-bit signed fields of every later version.
bool DibSize(std::string_view dib, ImageSize* size) {
  if (dib.size() < 12) return false;
  const uint32_t header_size = ReadLe(dib, 0, 4);
  if (header_size == 12) {
    *size = {ReadLe(dib, 4, 2), ReadLe(dib, 6, 2)};
    return true;
  }
  if (header_size < 16 || dib.size() < 12) return false;
  *size = {Magnitude(ReadLe(dib, 4, 4)), Magnitude(ReadLe(dib, 8, 4))};
  return true;
}

bool BmpSize(std::string_view data, ImageSize* size) {
  return data.size() >= 14 && DibSize(data.substr(14), size);
}

// The first frame header (SOF0 to SOF15, without DHT, JPG and DAC) before the scan starts.
bool JpegSize(std::string_view data, ImageSize* size) {
  size_t at = 2;
  while (at + 1 < data.size()) {
    if (static_cast<uint8_t>(data[at]) != 0xFF) return false;
    const uint8_t marker = static_cast<uint8_t>(data[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    at += 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA) return false;  // end of image or scan, no frame yet
    if (at + 2 > data.size()) return false;
    const uint32_t length = ReadBe(data, at, 2);
    if (length < 2) return false;
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      // Length, precision, height, width.
      if (length < 7 || at + 7 > data.size()) return false;
      *size = {ReadBe(data, at + 5, 2), ReadBe(data, at + 3, 2)};
      return true;
    }
    at += length;
  }
  return false;
}

// The first chunk after "RIFF", its size and "WEBP": a lossy frame ("VP8 "), a lossless one
// ("VP8L") or the extended format's canvas ("VP8X"), which is what gets allocated.
bool WebpSize(std::string_view data, ImageSize* size) {
  if (StartsWith(data, 12, "VP8 ") && data.size() >= 30 && StartsWith(data, 23, "\x9d\x01\x2a")) {
    *size = {ReadLe(data, 26, 2) & 0x3FFF, ReadLe(data, 28, 2) & 0x3FFF};
    return true;
  }
  if (StartsWith(data, 12, "VP8L") && data.size() >= 25 && static_cast<uint8_t>(data[20]) == 0x2F) {
    const uint32_t bits = ReadLe(data, 21, 4);
    *size = {(bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1};
    return true;
  }
  if (StartsWith(data, 12, "VP8X") && data.size() >= 30) {
    *size = {ReadLe(data, 24, 3) + 1, ReadLe(data, 27, 3) + 1};
    return true;
  }
  return false;
}

// Tags 256 (width) and 257 (height) of the first directory, as SHORT or LONG values.
bool TiffSize(std::string_view data, ImageSize* size) {
  if (data.size() < 8) return false;
  const bool le = data[0] == 'I';
  auto read = [&](size_t offset, int bytes) {
    return le ? ReadLe(data, offset, bytes) : ReadBe(data, offset, bytes);
  };
  const uint32_t directory = read(4, 4);
  if (directory > data.size() || data.size() - directory < 2) return false;
  const uint32_t count = read(directory, 2);
  bool have_width = false, have_height = false;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = directory + 2 + size_t{12} * i;
    if (entry + 12 > data.size()) return false;
    const uint32_t tag = read(entry, 2), type = read(entry + 2, 2);
    if (tag != 256 && tag != 257) continue;
    if ((type != 3 && type != 4) || read(entry + 4, 4) != 1) return false;
    const uint32_t value = type == 3 ? read(entry + 8, 2) : read(entry + 8, 4);
    (tag == 256 ? size->width : size->height) = value;
    (tag == 256 ? have_width : have_height) = true;
  }
  return have_width && have_height;
}

// The ICO entry that is decoded: the largest by the directory's sizes (0 standing for 256).
bool SelectIcoImage(std::string_view data, std::string_view* image) {
  if (data.size() < 6) return false;
  const size_t count = ReadLe(data, 4, 2);
  size_t best = 0, best_area = 0;
  for (size_t i = 0; i < count && 6 + 16 * (i + 1) <= data.size(); ++i) {
    const size_t entry = 6 + 16 * i;
    const size_t w = static_cast<uint8_t>(data[entry]) ? static_cast<uint8_t>(data[entry]) : 256;
    const size_t h =
        static_cast<uint8_t>(data[entry + 1]) ? static_cast<uint8_t>(data[entry + 1]) : 256;
    if (w * h > best_area) {
      best_area = w * h;
      best = entry;
    }
  }
  if (best_area == 0) return false;
  const uint32_t size = ReadLe(data, best + 8, 4), offset = ReadLe(data, best + 12, 4);
  if (offset > data.size() || size > data.size() - offset) return false;
  *image = data.substr(offset, size);
  return true;
}

// An ICO bitmap's height counts the colour and the mask image; DecodeIcoBitmap halves the
// field as stored, so the size is read the same way.
bool IcoSize(std::string_view data, ImageSize* size) {
  std::string_view image;
  if (!SelectIcoImage(data, &image)) return false;
  if (IsPng(image)) return PngSize(image, size);
  if (image.size() < 40 || ReadLe(image, 0, 4) < 40) return false;
  *size = {Magnitude(ReadLe(image, 4, 4)), Magnitude(ReadLe(image, 8, 4) / 2)};
  return true;
}

// --- Decoding ---

// libgd's readers take a non-const pointer but only read through it.
void* GdData(std::string_view data) { return const_cast<char*>(data.data()); }
int GdSize(std::string_view data) { return static_cast<int>(data.size()); }

// An ICO bitmap entry is a BMP without its file header and with the height of the colour and
// mask images together; give it a header and its real height.
gdImagePtr DecodeIcoBitmap(std::string dib) {
  if (dib.size() < 40) return nullptr;
  const uint32_t header_size = ReadLe(dib, 0, 4);
  const uint32_t bpp = ReadLe(dib, 14, 2);
  uint32_t colors = ReadLe(dib, 32, 4);
  if (colors == 0 && bpp <= 8) colors = 1u << bpp;
  if (header_size < 40 || header_size > dib.size()) return nullptr;
  WriteLe32(&dib, 8, ReadLe(dib, 8, 4) / 2);
  std::string bmp(14, '\0');
  bmp[0] = 'B';
  bmp[1] = 'M';
  WriteLe32(&bmp, 2, static_cast<uint32_t>(14 + dib.size()));
  WriteLe32(&bmp, 10, 14 + header_size + (bpp <= 8 ? colors * 4 : 0));
  bmp += dib;
  return gdImageCreateFromBmpPtr(GdSize(bmp), GdData(bmp));
}

gdImagePtr DecodeIco(std::string_view data) {
  std::string_view image;
  if (!SelectIcoImage(data, &image)) return nullptr;
  if (IsPng(image)) return gdImageCreateFromPngPtr(GdSize(image), GdData(image));
  return DecodeIcoBitmap(std::string(image));
}

gdImagePtr DecodeImage(std::string_view data) {
  const int size = GdSize(data);
  void* p = GdData(data);
  if (IsPng(data)) return gdImageCreateFromPngPtr(size, p);
  if (IsJpeg(data)) return gdImageCreateFromJpegPtr(size, p);
  if (IsGif(data)) return gdImageCreateFromGifPtr(size, p);
  if (IsBmp(data)) return gdImageCreateFromBmpPtr(size, p);
  if (IsWebp(data)) return gdImageCreateFromWebpPtr(size, p);
  if (IsTiff(data)) return gdImageCreateFromTiffPtr(size, p);
  if (IsIco(data)) return DecodeIco(data);
  return nullptr;
}

void* Encode(gdImagePtr image, ImageFormat format, int* size) {
  switch (format) {
    case ImageFormat::kJpeg:
      return gdImageJpegPtr(image, size, -1);
    case ImageFormat::kGif:
      return gdImageGifPtr(image, size);
    case ImageFormat::kBmp:
      return gdImageBmpPtr(image, size, 0);
    case ImageFormat::kPng:
      break;
  }
  gdImageSaveAlpha(image, 1);
  return gdImagePngPtr(image, size);
}

}  // namespace

bool ReadImageSize(std::string_view data, ImageSize* size) {
  ImageSize found;
  bool known = false;
  if (IsPng(data)) {
    known = PngSize(data, &found);
  } else if (IsJpeg(data)) {
    known = JpegSize(data, &found);
  } else if (IsGif(data)) {
    known = GifSize(data, &found);
  } else if (IsBmp(data)) {
    known = BmpSize(data, &found);
  } else if (IsWebp(data)) {
    known = WebpSize(data, &found);
  } else if (IsTiff(data)) {
    known = TiffSize(data, &found);
  } else if (IsIco(data)) {
    known = IcoSize(data, &found);
  }
  if (!known || found.width == 0 || found.height == 0) return false;
  *size = found;
  return true;
}

ImageResult ReencodeImage(std::string_view data, ImageFormat format, uint32_t max_side,
                          std::string* bytes) {
  static std::once_flag once;
  std::call_once(once, [] { gdSetErrorMethod(&RouteGdMessage); });
  bytes->clear();
  ImageSize size;
  if (data.size() > INT_MAX || !ReadImageSize(data, &size)) return ImageResult::kUnmeasurable;
  if (size.width > max_side || size.height > max_side) return ImageResult::kTooLarge;
  gdImagePtr image = DecodeImage(data);
  if (!image) return ImageResult::kUndecodable;
  // The header was honest about what the decoder allocated, or the image is not used.
  if (static_cast<uint32_t>(gdImageSX(image)) > max_side ||
      static_cast<uint32_t>(gdImageSY(image)) > max_side) {
    gdImageDestroy(image);
    return ImageResult::kTooLarge;
  }
  int encoded_size = 0;
  void* encoded = Encode(image, format, &encoded_size);
  gdImageDestroy(image);
  if (!encoded) return ImageResult::kUnencodable;
  if (encoded_size > 0) {
    bytes->assign(static_cast<const char*>(encoded), static_cast<size_t>(encoded_size));
  }
  gdFree(encoded);
  return bytes->empty() ? ImageResult::kUnencodable : ImageResult::kOk;
}

}  // namespace halcy
