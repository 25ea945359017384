#include "extension/extension_paths.h"

#include "common/paths.h"

namespace Logic {

std::u16string GetExtensionDataDirectory() {
  std::u16string directory = u"localextensions";
  if (!GetDataDirectory(kDataDirectorySystem, &directory, 0, u"")) return std::u16string();
  for (char16_t& c : directory) {
    if (c == u'/') c = u'\\';
  }
  return directory;
}

std::u16string ResolveExtensionPath(std::u16string_view path) {
  const std::u16string_view name = kExtDbPathPrefix.substr(0, kExtDbPathPrefix.size() - 1);
  if (path.size() < kExtDbPathPrefix.size() || path.substr(0, name.size()) != name ||
      (path[name.size()] != u'/' && path[name.size()] != u'\\')) {
    return std::u16string(path);
  }
  return GetExtensionDataDirectory() + u"\\" + std::u16string(path.substr(kExtDbPathPrefix.size()));
}

}  // namespace Logic
