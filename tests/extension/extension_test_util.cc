#include "extension/extension_test_util.h"

#include "common/paths.h"
#include "platform/bstr.h"

namespace extension_testing {

namespace {

void PutLe(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string MakeBmp(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  const uint32_t row = static_cast<uint32_t>((width * 3 + 3) / 4 * 4);
  const uint32_t pixels = row * static_cast<uint32_t>(height);
  std::string bmp = "BM";
  PutLe(&bmp, 54 + pixels, 4);
  PutLe(&bmp, 0, 4);
  PutLe(&bmp, 54, 4);
  PutLe(&bmp, 40, 4);  // BITMAPINFOHEADER
  PutLe(&bmp, static_cast<uint32_t>(width), 4);
  PutLe(&bmp, static_cast<uint32_t>(height), 4);
  PutLe(&bmp, 1, 2);
  PutLe(&bmp, 24, 2);
  PutLe(&bmp, 0, 4);  // BI_RGB
  PutLe(&bmp, pixels, 4);
  PutLe(&bmp, 2835, 4);
  PutLe(&bmp, 2835, 4);
  PutLe(&bmp, 0, 4);
  PutLe(&bmp, 0, 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bmp.push_back(static_cast<char>(b));
      bmp.push_back(static_cast<char>(g));
      bmp.push_back(static_cast<char>(r));
    }
    bmp.append(row - static_cast<uint32_t>(width) * 3, '\0');
  }
  return bmp;
}

std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) continue;  // line breaks and padding
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

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

BrowserEnvironment::BrowserEnvironment()
    : browser_env_("HALCY_BROWSER_DIR", browser_.path()),
      appdata_env_("HALCY_APPDATA", appdata_.path()) {
  testing_support::WriteFileOrDie(browser_.File("halcy_strings.txt"),
                                  "# test table\nIDS_EXTENSION_UNKNOWN=(unknown)\n");
  Logic::ResetPathCachesForTesting();
}

BrowserEnvironment::~BrowserEnvironment() { Logic::ResetPathCachesForTesting(); }

}  // namespace extension_testing
