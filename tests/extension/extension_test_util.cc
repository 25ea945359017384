#include "extension/extension_test_util.h"

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

std::string MakeBmp(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
  const uint32_t row = (width * 3 + 3) / 4 * 4;
  const uint32_t pixels = row * height;
  std::string bmp = "BM";
  // The file header, then the BITMAPINFOHEADER (one plane, 24 bits, BI_RGB), little-endian.
  const uint32_t header[] = {54 + pixels, 0,      54,   40,   width, height, 1 | 24 << 16,
                             0,           pixels, 2835, 2835, 0,     0};
  for (uint32_t value : header) {
    for (int i = 0; i < 4; ++i) bmp.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) bmp += {char(b), char(g), char(r)};
    bmp.append(row - width * 3, '\0');
  }
  return bmp;
}

BrowserEnvironment::BrowserEnvironment()
    : browser_env_("HALCY_BROWSER_DIR", browser_.path()),
      appdata_env_("HALCY_APPDATA", appdata_.path()) {
  testing_support::WriteFileOrDie(browser_.File("halcy_strings.txt"),
                                  "IDS_EXTENSION_UNKNOWN=(unknown)\n");
  Logic::ResetPathCachesForTesting();
}

BrowserEnvironment::~BrowserEnvironment() { Logic::ResetPathCachesForTesting(); }

}  // namespace extension_testing
