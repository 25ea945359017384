#include "manifest_check.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "common/extension_rules.h"
#include "common/json_escape.h"
#include "common/version.h"
#include "extension/accelerator.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/utf8_text.h"
#include "permission/api_group_table.h"
#include "platform/file_below.h"
#include "url/url_pattern.h"

namespace plexorectl {
namespace {

using Logic::CJsonValue;

// How the manager reads a key's value.
enum class Rule {
  kAny,             // read by the browser's UI in a shape of its own; any type
  kString,          // a string (another type reads as "")
  kNumberOrString,  // a size: a number or a numeric string
  kFile,            // a string naming a file below the extension's directory
  kPage,            // kFile, with a query or fragment after the file name
  kVersion,         // a dotted version
  kAccelerator,     // a key combination such as "Ctrl+Shift+F5"
  kPluginOrder,     // a number or a string with leading digits
  kSetupOnline,     // a string; only "1" turns it on
  kRegistryRoot,    // the name of a predefined registry key
  kPermissions,     // an array of group names and URL patterns
  kObject,          // an object with the members in `members`
  kObjectArray,     // an array of such objects
};

struct KeyRule {
  std::string_view key;
  Rule rule;
  std::span<const KeyRule> members = {};
};

constexpr KeyRule kIconGroup[] = {
    {"normal", Rule::kFile}, {"press", Rule::kFile}, {"hover", Rule::kFile}};
constexpr KeyRule kAnimationIcon[] = {{"path", Rule::kFile}};
constexpr KeyRule kDropdown[] = {{"dd_left", Rule::kAny}, {"dd_right", Rule::kAny}};
constexpr KeyRule kUiPoint[] = {
    {"icongroup", Rule::kObject, kIconGroup},
    {"animation_icon", Rule::kObject, kAnimationIcon},
    {"buttons", Rule::kAny},
    {"lmenu", Rule::kAny},
    {"rmenu", Rule::kAny},
    {"dropdown", Rule::kObject, kDropdown},
    {"caption", Rule::kString},
    {"hint", Rule::kString},
    {"width", Rule::kNumberOrString},
    {"height", Rule::kNumberOrString},
    {"url", Rule::kString},
    {"fe", Rule::kAny},
};
constexpr KeyRule kSetupCommand[] = {{"url", Rule::kString}, {"param", Rule::kString}};
constexpr KeyRule kRegPath[] = {{"root", Rule::kRegistryRoot},
                                {"path", Rule::kString},
                                {"param", Rule::kString},
                                {"icon", Rule::kString}};
constexpr KeyRule kContextMenuItem[] = {{"text", Rule::kString},
                                        {"condition", Rule::kString},
                                        {"contexttype", Rule::kString},
                                        {"iconpath", Rule::kFile}};
constexpr KeyRule kManifestKeys[] = {
    {"name", Rule::kString},
    {"version", Rule::kString},
    {"description", Rule::kString},
    {"developer", Rule::kString},
    {"main_icon", Rule::kFile},
    {"options_page", Rule::kPage},
    {"background_page", Rule::kPage},
    {"librarypath", Rule::kFile},
    {"lowestbrowser", Rule::kVersion},
    {"update_url", Rule::kString},
    {"pluginorder", Rule::kPluginOrder},
    {"exename", Rule::kString},
    {"exeparam", Rule::kString},
    {"installcommand", Rule::kString},
    {"uninstallcommand", Rule::kString},
    {"setupcommand", Rule::kObject, kSetupCommand},
    {"downloadurl", Rule::kString},
    {"setuponline", Rule::kSetupOnline},
    {"regpath", Rule::kObject, kRegPath},
    {"permissions", Rule::kPermissions},
    {"accelerator", Rule::kAccelerator},
    {"contextmenu", Rule::kObjectArray, kContextMenuItem},
    {"toolbarui", Rule::kObject, kUiPoint},
    {"addressui", Rule::kObject, kUiPoint},
    {"appbarui", Rule::kObject, kUiPoint},
    {"smartbarui", Rule::kObject, kUiPoint},
    {"sidebarui", Rule::kObject, kUiPoint},
};

constexpr std::string_view kRegistryRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                               "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                               "HKEY_CURRENT_CONFIG"};

std::string Utf8(std::u16string_view text) { return Logic::EncodeUtf16ToUtf8(text); }

// A value as the problem text quotes it: JSON-escaped in quotation marks, so that a line feed
// in a manifest cannot start a line of its own.
std::string Quoted(std::u16string_view text) {
  return "\"" + Utf8(Logic::EscapeJsonText(text)) + "\"";
}

const char* TypeName(const CJsonValue& value) {
  switch (value.type()) {
    case Logic::kJsonString:
      return "a string";
    case Logic::kJsonNumber:
      return "a number";
    case Logic::kJsonBool:
      return "true or false";
    case Logic::kJsonArray:
      return "an array";
    case Logic::kJsonObject:
      return "an object";
    case Logic::kJsonNull:
      break;
  }
  return "null";
}

bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// One to four dot-separated groups of one to nine digits: "6", "6.5.1.2".
bool IsDottedVersion(std::u16string_view text) {
  size_t groups = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = std::min(text.find(u'.', start), text.size());
    const std::u16string_view group = text.substr(start, dot - start);
    if (group.empty() || group.size() > 9 || !std::all_of(group.begin(), group.end(), IsAsciiDigit))
      return false;
    if (++groups > 4) return false;
    if (dot == text.size()) return true;
    start = dot + 1;
  }
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t c = a[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    char d = b[i];
    if (d >= 'a' && d <= 'z') d = static_cast<char>(d - 'a' + 'A');
    if (c != static_cast<unsigned char>(d)) return false;
  }
  return true;
}

// Edits (insert, delete, replace, swap two neighbours) that turn `a` into `b`.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::vector<std::string> KeysOf(std::span<const KeyRule> rules) {
  std::vector<std::string> keys;
  for (const KeyRule& rule : rules) keys.emplace_back(rule.key);
  return keys;
}

std::string UnknownKeyProblem(const std::string& key, std::span<const KeyRule> rules) {
  const std::string nearest = NearestKey(key, KeysOf(rules));
  if (nearest.empty()) return "unknown key, ignored";
  return "unknown key, ignored; did you mean \"" + nearest + "\"?";
}

class Checker {
 public:
  explicit Checker(std::u16string directory) : directory_(std::move(directory)) {}

  void CheckManifest(const CJsonValue::Object& manifest) {
    CheckMembers(manifest, kManifestKeys, "");
    const auto library = manifest.find(u"librarypath");
    const auto page = manifest.find(u"background_page");
    if (library != manifest.end() && page != manifest.end() && library->second->IsString() &&
        page->second->IsString() && !library->second->GetString().empty() &&
        !page->second->GetString().empty()) {
      Add("background_page",
          "ignored: \"librarypath\" is given too, and only the native library is started");
    }
  }

  std::vector<ManifestProblem> TakeProblems() { return std::move(problems_); }

 private:
  void Add(std::string key, std::string problem) {
    problems_.push_back({std::move(key), std::move(problem)});
  }

  void CheckMembers(const CJsonValue::Object& object, std::span<const KeyRule> rules,
                    const std::string& prefix) {
    for (const auto& [name, value] : object) {
      // Escaped: a key is outside text, and a line feed in it must not start a report line.
      const std::string key = Utf8(Logic::EscapeJsonText(name));
      const auto rule =
          std::find_if(rules.begin(), rules.end(), [&](const KeyRule& r) { return r.key == key; });
      if (rule == rules.end()) {
        Add(prefix + key, UnknownKeyProblem(key, rules));
      } else {
        CheckValue(*value, *rule, prefix + key);
      }
    }
  }

  // Reports a value of the wrong type; true when the type is `expected`.
  bool ExpectType(const CJsonValue& value, Logic::JsonType expected, const std::string& key) {
    if (value.type() == expected) return true;
    const CJsonValue sample = expected == Logic::kJsonString   ? CJsonValue(u"")
                              : expected == Logic::kJsonObject ? CJsonValue(CJsonValue::Object{})
                                                               : CJsonValue(CJsonValue::Array{});
    Add(key, std::string("should be ") + TypeName(sample) + ", not " + TypeName(value) +
                 "; the manager ignores it");
    return false;
  }

  void CheckValue(const CJsonValue& value, const KeyRule& rule, const std::string& key) {
    switch (rule.rule) {
      case Rule::kAny:
        return;
      case Rule::kNumberOrString:
        if (!value.IsNumber() && !value.IsString()) {
          Add(key, std::string("should be a number or a string, not ") + TypeName(value));
        }
        return;
      case Rule::kPluginOrder:
        return CheckPluginOrder(value, key);
      case Rule::kPermissions:
        return CheckPermissions(value, key);
      case Rule::kObject:
        if (ExpectType(value, Logic::kJsonObject, key)) {
          CheckMembers(value.GetObject(), rule.members, key + ".");
        }
        return;
      case Rule::kObjectArray:
        return CheckObjectArray(value, rule.members, key);
      default:
        break;
    }
    if (ExpectType(value, Logic::kJsonString, key)) CheckText(value.GetString(), rule.rule, key);
  }

  void CheckText(const std::u16string& text, Rule rule, const std::string& key) {
    switch (rule) {
      case Rule::kFile:
        return CheckFile(text, key);
      case Rule::kPage:
        return CheckFile(text.substr(0, text.find_first_of(u"?#")), key);
      case Rule::kVersion:
        if (!text.empty() && !IsDottedVersion(text)) {
          Add(key, Quoted(text) +
                       " is not a version such as \"6.5.1.2\"; only its leading digits " +
                       "are compared");
        }
        return;
      case Rule::kAccelerator:
        return CheckAccelerator(text, key);
      case Rule::kSetupOnline:
        if (!text.empty() && text != u"1" && text != u"0") {
          Add(key, "only \"1\" turns it on; " + Quoted(text) + " reads as off");
        }
        return;
      case Rule::kRegistryRoot:
        for (std::string_view root : kRegistryRoots) {
          if (EqualsIgnoringAsciiCase(text, root)) return;
        }
        Add(key, Quoted(text) + " is not a predefined registry key such as " +
                     "\"HKEY_CURRENT_USER\"; the registry path is not read");
        return;
      default:
        return;
    }
  }

  void CheckFile(const std::u16string& path, const std::string& key) {
    // Empty means "none"; a path below "hcextdbpath/" names the extension data directory of
    // the installed set, which only exists at run time.
    if (path.empty() || path.starts_with(Logic::kExtDbPathPrefix)) return;
    halcy::FileBelow found = halcy::FileBelow::kBadPath;
    if (Logic::IsPathInsideExtension(path)) found = halcy::ProbeFileBelow(directory_, path);
    switch (found) {
      case halcy::FileBelow::kRegularFile:
        return;
      case halcy::FileBelow::kMissing:
        return Add(key, Quoted(path) + " does not exist");
      case halcy::FileBelow::kBadPath:
        return Add(key, Quoted(path) + " lies outside the extension's directory");
      case halcy::FileBelow::kSymbolicLink:
        return Add(key,
                   Quoted(path) + " passes a symbolic link, which the manager does not follow");
      case halcy::FileBelow::kNotRegularFile:
        return Add(key, Quoted(path) + " is not a regular file");
      default:
        return Add(key, Quoted(path) + " cannot be read");
    }
  }

  void CheckAccelerator(const std::u16string& text, const std::string& key) {
    if (text.empty()) return;  // no accelerator
    uint16_t hotkey = 0;
    if (!Logic::ParseAccelerator(text, &hotkey)) {
      Add(key, Quoted(text) + " is not an accelerator such as \"Ctrl+Shift+F5\" (at most four " +
                   "keys joined by \"+\", one of them not SHIFT, CTRL or ALT); none is registered");
      return;
    }
    // It parses, but a name outside the key table counts as no key at all.
    size_t start = 0;
    while (start <= text.size()) {
      const size_t plus = std::min(text.find(u'+', start), text.size());
      const std::u16string_view part = std::u16string_view(text).substr(start, plus - start);
      if (Logic::VirtualKeyOfName(part) == 0) {
        Add(key, Quoted(part) + " is not a key name (SHIFT, CTRL, ALT, F1 to F12, A to Z, 0 to 9)" +
                     "; it is ignored");
      }
      start = plus + 1;
    }
  }

  void CheckPluginOrder(const CJsonValue& value, const std::string& key) {
    if (value.IsNumber()) return;
    if (!value.IsString()) {
      Add(key,
          std::string("should be a number, not ") + TypeName(value) + "; the manager ignores it");
      return;
    }
    const std::u16string& text = value.GetString();
    if (text.empty() || !IsAsciiDigit(text[0])) {
      Add(key, Quoted(text) + " does not start with digits; it reads as 0");
    } else if (!std::all_of(text.begin(), text.end(), IsAsciiDigit)) {
      Add(key, Quoted(text) + " reads as " + std::to_string(Logic::LeadingDecimal(text)));
    }
  }

  void CheckPermissions(const CJsonValue& value, const std::string& key) {
    if (!ExpectType(value, Logic::kJsonArray, key)) return;
    const CJsonValue::Array& items = value.GetArray();
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string item_key = key + "[" + std::to_string(i) + "]";
      if (ExpectType(*items[i], Logic::kJsonString, item_key)) {
        CheckPermission(items[i]->GetString(), item_key);
      }
    }
  }

  // A permission is a group name (matched lower-cased) or else a URL match pattern; anything
  // else grants nothing.
  void CheckPermission(const std::u16string& text, const std::string& key) {
    const Logic::ApiGroupTable& table = Logic::ApiGroupTable::Get();
    if (table.Find(Logic::LowerCasePermissionText(text))) return;
    burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
    const burl::URLPattern::ParseResult parsed = pattern.Parse(Utf8(text));
    if (parsed == burl::URLPattern::PARSE_SUCCESS) return;
    if (text.find_first_of(u":/*<") != std::u16string::npos) {
      Add(key, Quoted(text) + " is not a valid URL pattern (" +
                   burl::URLPattern::GetParseResultString(parsed) + "); it grants nothing");
      return;
    }
    std::vector<std::string> groups;
    for (const auto& entry : table.groups()) groups.push_back(Utf8(entry.first));
    const std::string nearest = NearestKey(Utf8(Logic::LowerCasePermissionText(text)), groups);
    Add(key, Quoted(text) + " names no permission group and is not a URL pattern; it grants " +
                 "nothing" + (nearest.empty() ? "" : "; did you mean \"" + nearest + "\"?"));
  }

  void CheckObjectArray(const CJsonValue& value, std::span<const KeyRule> members,
                        const std::string& key) {
    if (!ExpectType(value, Logic::kJsonArray, key)) return;
    const CJsonValue::Array& items = value.GetArray();
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string item_key = key + "[" + std::to_string(i) + "]";
      if (ExpectType(*items[i], Logic::kJsonObject, item_key)) {
        CheckMembers(items[i]->GetObject(), members, item_key + ".");
      }
    }
  }

  // Constant after construction.
  const std::u16string directory_;
  std::vector<ManifestProblem> problems_;
};

// Reads the manifest as the installer does: a regular file below the directory, no link,
// at most kMaxManifestBytes. Returns the problem, or "" with `bytes` filled.
std::string ReadManifest(const std::u16string& directory, std::string* bytes) {
  switch (halcy::ReadFileBelow(directory, u"manifest.json", Logic::kMaxManifestBytes, bytes)) {
    case halcy::FileBelow::kRegularFile:
      return "";
    case halcy::FileBelow::kMissing:
      return "does not exist";
    case halcy::FileBelow::kTooLarge:
      return "is larger than " + std::to_string(Logic::kMaxManifestBytes) +
             " bytes, the largest manifest the manager installs";
    case halcy::FileBelow::kSymbolicLink:
      return "is a symbolic link, which the manager does not follow";
    case halcy::FileBelow::kNotRegularFile:
      return "is not a regular file";
    default:
      return "cannot be read";
  }
}

}  // namespace

std::string NearestKey(const std::string& key, const std::vector<std::string>& known) {
  std::string best;
  size_t best_distance = 3;  // at most two edits
  for (const std::string& candidate : known) {
    // Lengths apart by more than two cannot be two edits apart; skipping them also keeps a
    // hostile megabyte-long key from costing a megabyte-sized table.
    const size_t longer = std::max(key.size(), candidate.size());
    if (longer - std::min(key.size(), candidate.size()) > 2) continue;
    const size_t distance = EditDistance(key, candidate);
    // A third of the longer word at most: "nmae" is "name", "state" is not.
    if (distance < best_distance && distance * 3 <= longer) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

std::vector<ManifestProblem> CheckExtensionDirectory(const std::string& directory) {
  const std::u16string wide_directory = Logic::DecodeUtf8ToUtf16(directory);
  std::string bytes;
  if (std::string problem = ReadManifest(wide_directory, &bytes); !problem.empty()) {
    return {{"manifest.json", problem}};
  }
  const std::unique_ptr<CJsonValue> manifest = Logic::ParseJsonUtf8(bytes);
  if (!manifest) return {{"manifest.json", "is not valid JSON"}};
  if (!manifest->IsObject()) {
    return {{"manifest.json", std::string("should hold an object, not ") + TypeName(*manifest)}};
  }
  Checker checker(wide_directory);
  checker.CheckManifest(manifest->GetObject());
  return checker.TakeProblems();
}

std::string FormatProblemsAsText(const std::vector<ManifestProblem>& problems) {
  std::string text;
  for (const ManifestProblem& p : problems) text += p.key + ": " + p.problem + "\n";
  return text;
}

std::string FormatProblemsAsJson(const std::vector<ManifestProblem>& problems) {
  const auto escaped = [](const std::string& text) {
    return Utf8(Logic::EscapeJsonText(Logic::DecodeUtf8ToUtf16(text)));
  };
  std::string json = "[";
  for (const ManifestProblem& p : problems) {
    if (json.size() > 1) json += ",";
    json += "{\"key\":\"" + escaped(p.key) + "\",\"problem\":\"" + escaped(p.problem) + "\"}";
  }
  return json + "]\n";
}

}  // namespace plexorectl
