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

BrowserEnvironment::BrowserEnvironment()
    : browser_env_("HALCY_BROWSER_DIR", browser_.path()),
      appdata_env_("HALCY_APPDATA", appdata_.path()) {
  testing_support::WriteFileOrDie(browser_.File("halcy_strings.txt"),
                                  "# test table\nIDS_EXTENSION_UNKNOWN=(unknown)\n");
  Logic::ResetPathCachesForTesting();
}

BrowserEnvironment::~BrowserEnvironment() { Logic::ResetPathCachesForTesting(); }

}  // namespace extension_testing
