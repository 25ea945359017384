// CExtension::BuildUIPoints: the JSON texts of the extension's UI extension points, as the
// browser's UI extension-point manager receives them. Icon paths in the manifest are relative
// to the extension's directory; the browser needs them absolute.

#include <algorithm>

#include "common/json_escape.h"
#include "extension/extension.h"
#include "extension/extension_paths.h"
#include "extension/ui_ext_points.h"
#include "json/json_writer.h"

namespace Logic {
namespace {

struct Replacement {
  std::u16string from;  // as the JSON writer wrote it
  std::u16string to;    // already escaped for JSON
};

const CJsonValue* Member(const CJsonValue& object, std::u16string_view key) {
  if (!object.IsObject()) return nullptr;
  auto it = object.GetObject().find(key);
  return it == object.GetObject().end() ? nullptr : it->second.get();
}

// The relative icon paths a point declares: "icongroup"/"normal" for every point, "press" and
// "hover" too for the address bar, "animation_icon"/"path" for the toolbar.
std::vector<std::u16string> IconPaths(const CJsonValue& point, std::u16string_view key) {
  std::vector<std::pair<const char16_t*, const char16_t*>> wanted = {{u"icongroup", u"normal"}};
  if (key == u"addressui") {
    wanted.push_back({u"icongroup", u"press"});
    wanted.push_back({u"icongroup", u"hover"});
  }
  if (key == u"toolbarui") wanted.push_back({u"animation_icon", u"path"});
  std::vector<std::u16string> paths;
  for (const auto& [group, name] : wanted) {
    const CJsonValue* holder = Member(point, group);
    const CJsonValue* path = holder ? Member(*holder, name) : nullptr;
    if (path && path->IsString() && !path->GetString().empty()) {
      paths.push_back(path->GetString());
    }
  }
  return paths;
}

// Replaces every occurrence of each `from` in one pass, longest match first, so that a
// replacement is never itself replaced again.
std::u16string ReplaceEach(const std::u16string& text, std::vector<Replacement> replacements) {
  std::sort(
      replacements.begin(), replacements.end(),
      [](const Replacement& a, const Replacement& b) { return a.from.size() > b.from.size(); });
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const Replacement* hit = nullptr;
    for (const Replacement& r : replacements) {
      if (text.compare(i, r.from.size(), r.from) == 0) {
        hit = &r;
        break;
      }
    }
    if (hit) {
      out += hit->to;
      i += hit->from.size();
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

std::u16string PointText(const CJsonValue& point, std::u16string_view key,
                         const std::u16string& directory) {
  std::vector<Replacement> replacements;
  for (const std::u16string& path : IconPaths(point, key)) {
    Replacement r;
    AppendJsonEscaped(path, &r.from);
    r.to = EscapeJsonText(directory + path);
    replacements.push_back(std::move(r));
  }
  return ReplaceEach(ToJsonString(point), std::move(replacements));
}

std::u16string NormaliseDirectory(std::u16string_view directory) {
  std::u16string resolved = ResolveExtensionPath(directory);
  const size_t first = resolved.find_first_not_of(u" \t\r\n");
  resolved.erase(0, first == std::u16string::npos ? resolved.size() : first);
  while (!resolved.empty() &&
         (resolved.back() == u'\\' || resolved.back() == u'/' || resolved.back() == u' ' ||
          resolved.back() == u'\t' || resolved.back() == u'\r' || resolved.back() == u'\n')) {
    resolved.pop_back();
  }
  return resolved + u"\\";
}

}  // namespace

std::vector<std::pair<std::u16string, std::u16string>> CExtension::BuildUIPoints(
    std::u16string_view directory) const {
  const std::u16string base = NormaliseDirectory(directory);
  std::vector<std::pair<std::u16string, std::u16string>> points;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const UIExtPoint& point : kUIExtPoints) {
    const CJsonValue* member = FindMember(point.manifest_key);
    if (!member || !member->IsObject()) continue;
    std::u16string text = PointText(*member, point.manifest_key, base);
    if (!text.empty()) points.emplace_back(point.identifier, std::move(text));
  }
  return points;
}

}  // namespace Logic
