#include "platform/image_codec.h"

#include <gd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/file_system.h"
#include "platform/log_controller.h"
#include "platform/strings.h"

namespace halcy {
namespace {

constexpr uint64_t kMaxImageBytes = uint64_t{64} << 20;

void RouteGdMessage(int /*priority*/, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof(text), format, args);
  std::u16string wide = Utf8ToUtf16(text);
  while (!wide.empty() && wide.back() == u'\n') wide.pop_back();
  if (ILogController* log = GetLogController(); log && log->IsEnabled(16, u"gdi;")) {
    log->Write(16, u"gdi;", wide.c_str());
  }
}

bool StartsWith(const std::string& data, size_t offset, std::string_view magic) {
  return data.size() >= offset + magic.size() && data.compare(offset, magic.size(), magic) == 0;
}

uint32_t ReadLe32(const std::string& data, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(data[offset + i]);
  return v;
}

void WriteLe32(std::string* data, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*data)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An ICO bitmap entry is a BMP without its file header and with the height of the colour and
// mask images together; give it a header and its real height.
gdImagePtr DecodeIcoBitmap(std::string dib) {
  if (dib.size() < 40) return nullptr;
  const uint32_t header_size = ReadLe32(dib, 0);
  const uint16_t bpp =
      static_cast<uint16_t>(static_cast<uint8_t>(dib[14]) | (static_cast<uint8_t>(dib[15]) << 8));
  uint32_t colors = ReadLe32(dib, 32);
  if (colors == 0 && bpp <= 8) colors = 1u << bpp;
  if (header_size < 40 || header_size > dib.size()) return nullptr;
  WriteLe32(&dib, 8, ReadLe32(dib, 8) / 2);
  std::string bmp(14, '\0');
  bmp[0] = 'B';
  bmp[1] = 'M';
  WriteLe32(&bmp, 2, static_cast<uint32_t>(14 + dib.size()));
  WriteLe32(&bmp, 10, 14 + header_size + (bpp <= 8 ? colors * 4 : 0));
  bmp += dib;
  return gdImageCreateFromBmpPtr(static_cast<int>(bmp.size()), bmp.data());
}

gdImagePtr DecodeIco(const std::string& data) {
  if (data.size() < 6) return nullptr;
  const size_t count = static_cast<uint8_t>(data[4]) | (static_cast<uint8_t>(data[5]) << 8);
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
  if (best_area == 0) return nullptr;
  const uint32_t size = ReadLe32(data, best + 8), offset = ReadLe32(data, best + 12);
  if (offset > data.size() || size > data.size() - offset) return nullptr;
  std::string image = data.substr(offset, size);
  if (StartsWith(image, 0, "\x89PNG")) {
    return gdImageCreateFromPngPtr(static_cast<int>(image.size()), image.data());
  }
  return DecodeIcoBitmap(std::move(image));
}

gdImagePtr DecodeImage(std::string& data) {
  const int size = static_cast<int>(data.size());
  void* p = data.data();
  if (StartsWith(data, 0, "\x89PNG\r\n\x1a\n")) return gdImageCreateFromPngPtr(size, p);
  if (StartsWith(data, 0, "\xFF\xD8\xFF")) return gdImageCreateFromJpegPtr(size, p);
  if (StartsWith(data, 0, "GIF87a") || StartsWith(data, 0, "GIF89a")) {
    return gdImageCreateFromGifPtr(size, p);
  }
  if (StartsWith(data, 0, "BM")) return gdImageCreateFromBmpPtr(size, p);
  if (StartsWith(data, 0, "RIFF") && StartsWith(data, 8, "WEBP")) {
    return gdImageCreateFromWebpPtr(size, p);
  }
  if (StartsWith(data, 0, std::string_view("II*\0", 4)) ||
      StartsWith(data, 0, std::string_view("MM\0*", 4))) {
    return gdImageCreateFromTiffPtr(size, p);
  }
  if (StartsWith(data, 0, std::string_view("\0\0\1\0", 4))) return DecodeIco(data);
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

bool ReadImageFile(std::u16string_view path, std::string* data) {
  ReadOnlyFile file;
  uint64_t size = 0;
  if (!file.Open(path) || !file.GetSize(&size) || size == 0 || size > kMaxImageBytes) {
    return false;
  }
  data->resize(static_cast<size_t>(size));
  return file.ReadExactly(data->data(), size);
}

}  // namespace

bool ReencodeImageFile(std::u16string_view path, ImageFormat format, std::string* bytes) {
  static std::once_flag once;
  std::call_once(once, [] { gdSetErrorMethod(&RouteGdMessage); });
  bytes->clear();
  std::string data;
  if (!ReadImageFile(path, &data)) return false;
  gdImagePtr image = DecodeImage(data);
  if (!image) return false;
  int size = 0;
  void* encoded = Encode(image, format, &size);
  gdImageDestroy(image);
  if (!encoded) return false;
  if (size > 0) bytes->assign(static_cast<const char*>(encoded), static_cast<size_t>(size));
  gdFree(encoded);
  return !bytes->empty();
}

}  // namespace halcy
