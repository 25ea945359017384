#include "extension/extension_paths.h"

#include "common/json_escape.h"
#include "common/log.h"
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

namespace {

bool HasExtDbPathPrefix(std::u16string_view path) {
  const std::u16string_view name = kExtDbPathPrefix.substr(0, kExtDbPathPrefix.size() - 1);
  return path.size() >= kExtDbPathPrefix.size() && path.substr(0, name.size()) == name &&
         (path[name.size()] == u'/' || path[name.size()] == u'\\');
}

}  // namespace

std::u16string ResolveExtensionPath(std::u16string_view path) {
  if (!HasExtDbPathPrefix(path)) return std::u16string(path);
  return ResolveExtensionPath(path, GetExtensionDataDirectory());
}

std::u16string ResolveExtensionPath(std::u16string_view path, std::u16string_view data_directory) {
  if (!HasExtDbPathPrefix(path)) return std::u16string(path);
  std::u16string resolved;
  const std::u16string_view rest = path.substr(kExtDbPathPrefix.size());
  resolved.reserve(data_directory.size() + 1 + rest.size());
  resolved.append(data_directory).append(u"\\").append(rest);
  return resolved;
}

bool IsPathInsideExtension(std::u16string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size()) {
      const char16_t c = path[i];
      if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == u':') return false;
      if (c != u'/' && c != u'\\') continue;
    }
    // A leading separator (absolute or UNC) gives an empty first component.
    const std::u16string_view part = path.substr(start, i - start);
    if (part.empty() || part == u"." || part == u"..") return false;
    start = i + 1;
  }
  return true;
}

void LogRefusedManifestPath(const ManifestPath& path, std::u16string_view reason) {
  std::u16string prefix(path.tag);
  if (!prefix.empty() && prefix.back() == u';') prefix.pop_back();
  // The path is escaped: a line feed in a manifest must not forge a second log line.
  Log(kLogFailure, path.tag, u"%s: extension '%s' in %s: %s \"%s\" ignored, %s", prefix.c_str(),
      std::u16string(path.id).c_str(), std::u16string(path.directory).c_str(),
      std::u16string(path.key).c_str(), EscapeJsonText(path.path).c_str(),
      std::u16string(reason).c_str());
}

std::u16string_view RefusalReason(halcy::FileBelow found) {
  switch (found) {
    case halcy::FileBelow::kRegularFile:
    case halcy::FileBelow::kMissing:
      return u"";
    case halcy::FileBelow::kSymbolicLink:
      return u"a symbolic link is on its way";
    case halcy::FileBelow::kNotRegularFile:
      return u"it is not a regular file";
    case halcy::FileBelow::kTooLarge:
      return u"the file is too large";
    case halcy::FileBelow::kBadPath:
      return u"it leads outside the extension's directory";
    case halcy::FileBelow::kFailed:
      break;
  }
  return u"it cannot be read";
}

bool CheckManifestFile(const ManifestPath& path, bool* exists, halcy::DirectoryProbe* probe) {
  if (exists) *exists = false;
  if (!IsPathInsideExtension(path.path)) {
    LogRefusedManifestPath(path, RefusalReason(halcy::FileBelow::kBadPath));
    return false;
  }
  const halcy::FileBelow found =
      probe ? probe->Probe(path.path) : halcy::ProbeFileBelow(path.directory, path.path);
  const std::u16string_view reason = RefusalReason(found);
  if (!reason.empty()) {
    LogRefusedManifestPath(path, reason);
    return false;
  }
  if (exists) *exists = found == halcy::FileBelow::kRegularFile;
  return true;
}

}  // namespace Logic
