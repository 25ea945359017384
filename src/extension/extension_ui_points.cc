// CExtension::BuildUIPoints: the JSON texts of the extension's UI extension points, as the
// browser's UI extension-point manager receives them. Icon paths in the manifest are relative
// to the extension's directory; the browser needs them absolute. A path that would lead out of
// the directory (extension_paths.h) is emptied rather than made absolute.

#include <algorithm>
#include <memory>

#include "common/json_escape.h"
#include "extension/extension.h"
#include "extension/extension_paths.h"
#include "extension/ui_ext_points.h"
#include "json/json_reader.h"
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

// One icon path of a point: the member `name` of the object `group`.
struct IconPath {
  const char16_t* group;
  const char16_t* name;
  std::u16string path;
};

// The relative icon paths a point declares: "icongroup"/"normal" for every point, "press" and
// "hover" too for the address bar, "animation_icon"/"path" for the toolbar.
std::vector<IconPath> IconPaths(const CJsonValue& point, std::u16string_view key) {
  std::vector<std::pair<const char16_t*, const char16_t*>> wanted = {{u"icongroup", u"normal"}};
  if (key == u"addressui") {
    wanted.push_back({u"icongroup", u"press"});
    wanted.push_back({u"icongroup", u"hover"});
  }
  if (key == u"toolbarui") wanted.push_back({u"animation_icon", u"path"});
  std::vector<IconPath> paths;
  for (const auto& [group, name] : wanted) {
    const CJsonValue* holder = Member(point, group);
    const CJsonValue* path = holder ? Member(*holder, name) : nullptr;
    if (path && path->IsString() && !path->GetString().empty()) {
      paths.push_back({group, name, path->GetString()});
    }
  }
  return paths;
}

// Replaces every occurrence of each `from` in one pass, longest match first, so that a
// replacement is never itself replaced again. Text between possible matches is copied in runs:
// only a position holding the first code unit of some `from` is compared.
std::u16string ReplaceEach(std::u16string text, std::vector<Replacement> replacements) {
  std::erase_if(replacements, [](const Replacement& r) { return r.from.empty(); });
  if (replacements.empty()) return text;
  std::stable_sort(
      replacements.begin(), replacements.end(),
      [](const Replacement& a, const Replacement& b) { return a.from.size() > b.from.size(); });
  std::u16string starts;
  for (const Replacement& r : replacements) {
    if (starts.find(r.from[0]) == std::u16string::npos) starts.push_back(r.from[0]);
  }
  std::u16string out;
  out.reserve(text.size() + text.size() / 2);
  for (size_t i = 0; i < text.size();) {
    const size_t next = std::min(text.find_first_of(starts, i), text.size());
    out.append(text, i, next - i);
    i = next;
    if (i == text.size()) break;
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

// One declared point: its identifier, manifest key, JSON text and icon paths, copied out under
// the record's lock so that the icon files are looked at without it.
struct DeclaredPoint {
  const char16_t* identifier;
  std::u16string_view key;
  std::u16string text;
  std::vector<IconPath> icons;
};

// The point's text with every icon path made absolute against `directory` (which ends in a
// backslash). An icon path that leaves the directory, or leads through a link or to something
// other than a regular file, is emptied instead (and logged once); a missing file is still
// named, for the browser to find missing.
// `escaped_directory` is `directory` escaped for JSON once for all icons (escaping works code
// unit by code unit, so the escaped directory and the escaped path join to the escaped whole).
std::u16string PointText(DeclaredPoint&& declared, const std::u16string& id,
                         const std::u16string& directory, const std::u16string& escaped_directory,
                         halcy::DirectoryProbe* probe) {
  std::vector<Replacement> replacements;
  std::vector<const IconPath*> refused;
  for (const IconPath& icon : declared.icons) {
    const std::u16string key = std::u16string(declared.key) + u"/" + icon.group + u"/" + icon.name;
    if (!CheckManifestFile({u"ext;", id, directory, key, icon.path}, nullptr, probe)) {
      refused.push_back(&icon);
      continue;
    }
    Replacement r;
    AppendJsonEscaped(icon.path, &r.from);
    r.to = escaped_directory + EscapeJsonText(icon.path);
    replacements.push_back(std::move(r));
  }
  std::u16string text = std::move(declared.text);
  if (!refused.empty()) {
    // Emptied in the tree, not replaced in the text: a refused path may be anything, even text
    // that also occurs in the point's structure.
    std::unique_ptr<CJsonValue> point = ParseJson(text);
    if (!point || !point->IsObject()) return std::u16string();
    for (const IconPath* icon : refused) {
      CJsonValue& group = *point->GetObject().find(std::u16string_view(icon->group))->second;
      group.GetObject().find(std::u16string_view(icon->name))->second =
          std::make_unique<CJsonValue>(u"");
    }
    text = ToJsonString(*point);
  }
  return ReplaceEach(std::move(text), std::move(replacements));
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
  std::u16string id;
  std::vector<DeclaredPoint> declared;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = id_;
    for (const UIExtPoint& point : kUIExtPoints) {
      const CJsonValue* member = FindMember(point.manifest_key);
      if (!member || !member->IsObject()) continue;
      declared.push_back({point.identifier, point.manifest_key, ToJsonString(*member),
                          IconPaths(*member, point.manifest_key)});
    }
  }
  std::vector<std::pair<std::u16string, std::u16string>> points;
  if (declared.empty()) return points;  // nothing to resolve the directory for
  const std::u16string base = NormaliseDirectory(directory);
  halcy::DirectoryProbe probe(base);  // every icon of every point is below it
  const std::u16string escaped_base = EscapeJsonText(base);
  for (DeclaredPoint& point : declared) {
    std::u16string text = PointText(std::move(point), id, base, escaped_base, &probe);
    if (!text.empty()) points.emplace_back(point.identifier, std::move(text));
  }
  return points;
}

}  // namespace Logic
