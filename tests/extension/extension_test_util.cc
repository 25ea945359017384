#include "extension/extension_test_util.h"

#include <initializer_list>
#include <utility>

#include "common/paths.h"
#include "platform/bstr.h"

namespace extension_testing {

std::u16string Text(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : u""; }

std::vector<std::u16string> Items(IStringList* list) {
  std::vector<std::u16string> items;
  LONG count = 0;
  if (list) list->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    list->GetAt(i, item.Receive());
    items.emplace_back(item.View());
  }
  return items;
}

// Appends each value little-endian in its number of bytes.
void PutLe(std::string* out, std::initializer_list<std::pair<uint32_t, int>> values) {
  for (const auto& [value, bytes] : values) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

// An uncompressed 24-bit BMP of `width` x `height` pixels, all of colour (r, g, b).
std::string MakeBmp(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
  const uint32_t row = (width * 3 + 3) / 4 * 4;
  const uint32_t pixels = row * height;
  std::string bmp = "BM";
  // The file header, then the BITMAPINFOHEADER: one plane, 24 bits, BI_RGB.
  PutLe(&bmp, {{54 + pixels, 4},
               {0, 4},
               {54, 4},
               {40, 4},
               {width, 4},
               {height, 4},
               {1, 2},
               {24, 2},
               {0, 4},
               {pixels, 4},
               {2835, 4},
               {2835, 4},
               {0, 4},
               {0, 4}});
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x)
      bmp += {static_cast<char>(b), static_cast<char>(g), static_cast<char>(r)};
    bmp.append(row - width * 3, '\0');
  }
  return bmp;
}

BrowserEnvironment::BrowserEnvironment()
    : browser_env_("HALCY_BROWSER_DIR", browser_.path()),
      appdata_env_("HALCY_APPDATA", appdata_.path()) {
  testing_support::WriteFileOrDie(browser_.File("halcy_strings.txt"),
                                  "# test table\nIDS_EXTENSION_UNKNOWN=(unknown)\n");
  Logic::ResetPathCachesForTesting();
}

BrowserEnvironment::~BrowserEnvironment() { Logic::ResetPathCachesForTesting(); }

}  // namespace extension_testing
