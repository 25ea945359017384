#include "extension/routing_test_util.h"

namespace extension_testing {

StoreRecord RoutedExtension(const std::u16string& id, bool background_page,
                            const std::u16string& permissions) {
  StoreRecord record = Record(id);
  record.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"";
  if (background_page) record.manifest += u",\"background_page\":\"bg.html\"";
  record.manifest += u",\"permissions\":" + permissions + u"}";
  return record;
}

}  // namespace extension_testing
