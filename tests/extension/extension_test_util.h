// Helpers of the extension tests: a browser directory with a string table, the texts of a BSTR
// and of a string list, and a bitmap maker. Used on the test's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bstr.h"
#include "platform/string_list.h"
#include "support/temp_env.h"

namespace extension_testing {

// The text of a BSTR ("" for null).
std::u16string Text(BSTR text);
// The items of `list` in order (none for null).
std::vector<std::u16string> Items(IStringList* list);
// An uncompressed 24-bit BMP of `width` x `height` pixels, all of colour (r, g, b).
std::string MakeBmp(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b);

// A browser installation (HALCY_BROWSER_DIR) whose string table says "IDS_EXTENSION_UNKNOWN" is
// "(unknown)", and an application-data folder (HALCY_APPDATA); the path caches are reset.
// A BSTR for the length of one call: Method(Arg(u"text")).
class Arg {
 public:
  explicit Arg(std::u16string_view text) : bstr_(text) {}
  operator BSTR() const { return bstr_.Get(); }  // NOLINT: used where a BSTR goes

 private:
  halcy::ScopedBstr bstr_;
};

class BrowserEnvironment {
 public:
  BrowserEnvironment();
  ~BrowserEnvironment();

  const std::string& browser_dir() const { return browser_.path(); }
  const std::string& appdata() const { return appdata_.path(); }

 private:
  testing_support::ScopedTempDir browser_;
  testing_support::ScopedTempDir appdata_;
  testing_support::ScopedEnv browser_env_;
  testing_support::ScopedEnv appdata_env_;
};

}  // namespace extension_testing
