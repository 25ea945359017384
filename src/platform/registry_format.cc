#include "platform/registry_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/registry.h"
#include "platform/strings.h"

namespace halcy::registry_internal {

const std::array<std::string_view, kRootCount> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_CURRENT_CONFIG"};

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kMaxKeyNameLength = 255;

// The one-letter escapes of quoted strings: `\n` stands for a newline, and so on.
struct Escape {
  char letter;
  char16_t unit;
};
constexpr Escape kEscapes[] = {
    {'"', u'"'}, {'\\', u'\\'}, {'n', u'\n'}, {'r', u'\r'}, {'t', u'\t'}};

char16_t Unescape(char letter) {
  for (const Escape& e : kEscapes) {
    if (e.letter == letter) return e.unit;
  }
  return 0;
}

char EscapeLetter(char16_t unit) {
  for (const Escape& e : kEscapes) {
    if (e.unit == unit) return e.letter;
  }
  return 0;
}

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Appends `utf8` as UTF-16; false when it is not valid UTF-8. The shared converter replaces
// bad sequences with U+FFFD, so a valid text is exactly one that converts back to itself.
bool AppendStrictUtf8(std::string_view utf8, std::u16string* out) {
  const std::u16string units = Utf8ToUtf16(utf8);
  if (Utf16ToUtf8(units) != utf8) return false;
  out->append(units);
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to `max_digits` hex digits making up all of `text`.
bool ParseHex(std::string_view text, size_t max_digits, DWORD* value) {
  if (text.empty() || text.size() > max_digits) return false;
  DWORD v = 0;
  for (char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    v = (v << 4) | static_cast<DWORD>(digit);
  }
  *value = v;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsValidKeyName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxKeyNameLength) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (IsHighSurrogate(unit) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      ++i;
      continue;
    }
    if (unit < 0x20 || unit == 0x7F || unit == u'\\' || IsSurrogate(unit)) return false;
  }
  return true;
}

const RegKey* RegKey::FindChild(std::u16string_view child) const {
  for (const auto& c : children) {
    if (NamesEqual(c->name, child)) return c.get();
  }
  return nullptr;
}

RegKey* RegKey::FindChild(std::u16string_view child) {
  return const_cast<RegKey*>(std::as_const(*this).FindChild(child));
}

RegKey* RegKey::AddChild(std::u16string_view child) {
  children.push_back(std::make_unique<RegKey>());
  children.back()->name = child;
  return children.back().get();
}

bool RegKey::RemoveChild(std::u16string_view child) {
  auto it = std::find_if(children.begin(), children.end(),
                         [&](const auto& c) { return NamesEqual(c->name, child); });
  if (it == children.end()) return false;
  children.erase(it);
  return true;
}

const RegValue* RegKey::FindValue(std::u16string_view value) const {
  for (const auto& v : values) {
    if (NamesEqual(v.name, value)) return &v;
  }
  return nullptr;
}

bool RegKey::SetValue(std::u16string_view value, DWORD type, const BYTE* data, size_t size) {
  auto* existing = const_cast<RegValue*>(FindValue(value));
  if (existing == nullptr) {
    values.push_back(RegValue{std::u16string(value), type, {}});
    existing = &values.back();
  } else if (existing->type == type && existing->data.size() == size &&
             (size == 0 || std::memcmp(existing->data.data(), data, size) == 0)) {
    return false;
  }
  existing->type = type;
  existing->data.assign(data, data + size);
  return true;
}

bool RegKey::RemoveValue(std::u16string_view value) {
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const RegValue& v) { return NamesEqual(v.name, value); });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

std::vector<BYTE> StringToData(std::u16string_view text) {
  std::vector<BYTE> data;
  data.reserve((text.size() + 1) * 2);
  for (char16_t unit : text) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

// ---- Reading ----------------------------------------------------------------------------------

namespace {

class Parser {
 public:
  Parser(RegTree* tree, ParseError* error) : tree_(tree), error_(error) {}

  bool Run(std::string_view text) {
    if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
    bool first = true;
    while (!text.empty()) {
      const size_t end = std::min(text.find('\n'), text.size());
      const std::string_view line = Trim(text.substr(0, end));
      text.remove_prefix(std::min(end + 1, text.size()));
      ++line_;
      if (line.empty() || line.front() == ';') continue;
      const bool header = first && line == kHeader;
      first = false;
      if (!header && !ParseLine(line)) return false;
    }
    return true;
  }

 private:
  bool ParseLine(std::string_view line) {
    if (line.front() == '[') return ParseSection(line);
    if (line.front() == '@' || line.front() == '"') return ParseValueLine(line);
    return Fail("expected a [key] line or a value line");
  }

  bool ParseSection(std::string_view line) {
    if (line.back() != ']' || line.size() < 2) return Fail("key line does not end with ']'");
    std::u16string path;
    if (!AppendStrictUtf8(line.substr(1, line.size() - 2), &path)) return Fail("invalid UTF-8");
    const std::u16string_view rest = path;
    const size_t root_end = std::min(rest.find(u'\\'), rest.size());
    const int root = RootIndex(rest.substr(0, root_end));
    if (root < 0) return Fail("unknown root key");
    RegKey* key = &tree_->roots[root];
    for (size_t pos = root_end; pos < rest.size();) {
      const size_t end = std::min(rest.find(u'\\', pos + 1), rest.size());
      const std::u16string_view part = rest.substr(pos + 1, end - pos - 1);
      if (!IsValidKeyName(part)) return Fail("invalid key name");
      RegKey* child = key->FindChild(part);
      key = child != nullptr ? child : key->AddChild(part);
      pos = end;
    }
    current_ = key;
    return true;
  }

  bool ParseValueLine(std::string_view line) {
    if (current_ == nullptr) return Fail("value line before any [key] line");
    std::u16string name;
    size_t pos = 1;
    if (line.front() == '"' && !ParseQuoted(line, &pos, &name)) return false;
    const std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return Fail("expected '=' after the value name");
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!ParseData(Trim(rest.substr(1)), &type, &data)) return false;
    current_->SetValue(name, type, data.data(), data.size());
    return true;
  }

  bool ParseData(std::string_view text, DWORD* type, std::vector<BYTE>* data) {
    if (StartsWith(text, "\"")) {
      std::u16string value;
      size_t pos = 1;
      if (!ParseQuoted(text, &pos, &value)) return false;
      if (pos != text.size()) return Fail("text after the closing quote");
      *type = REG_SZ;
      *data = StringToData(value);
      return true;
    }
    if (StartsWith(text, "dword:")) {
      DWORD v;
      if (!ParseHex(text.substr(6), 8, &v)) return Fail("dword needs 1 to 8 hex digits");
      *type = REG_DWORD;
      for (int i = 0; i < 4; ++i) data->push_back(static_cast<BYTE>(v >> (8 * i)));
      return true;
    }
    size_t list_start;
    if (StartsWith(text, "hex:")) {
      *type = REG_BINARY;
      list_start = 4;
    } else if (StartsWith(text, "hex(")) {
      const size_t close = text.find("):");
      if (close == std::string_view::npos || !ParseHex(text.substr(4, close - 4), 8, type)) {
        return Fail("bad hex(type) prefix");
      }
      list_start = close + 2;
    } else {
      return Fail("unknown value data (expected \"text\", dword: or hex:)");
    }
    return ParseHexList(Trim(text.substr(list_start)), data);
  }

  bool ParseHexList(std::string_view text, std::vector<BYTE>* data) {
    while (!text.empty()) {
      const size_t comma = std::min(text.find(','), text.size());
      DWORD byte;
      if (!ParseHex(Trim(text.substr(0, comma)), 2, &byte)) return Fail("bad hex byte");
      data->push_back(static_cast<BYTE>(byte));
      if (comma == text.size()) break;
      text = Trim(text.substr(comma + 1));
      if (text.empty()) return Fail("hex list ends with ','");
    }
    return true;
  }

  // Reads a quoted string whose opening quote is at line[*pos - 1]; leaves *pos after the
  // closing quote.
  bool ParseQuoted(std::string_view line, size_t* pos, std::u16string* out) {
    while (*pos < line.size()) {
      const size_t special = std::min(line.find_first_of("\\\"", *pos), line.size());
      if (!AppendStrictUtf8(line.substr(*pos, special - *pos), out)) {
        return Fail("invalid UTF-8");
      }
      *pos = special;
      if (special == line.size()) break;
      if (line[special] == '"') {
        ++*pos;
        return true;
      }
      if (special + 1 >= line.size()) break;
      const char e = line[special + 1];
      *pos += 2;
      if (e == 'u') {
        DWORD unit;
        if (line.size() - *pos < 4 || !ParseHex(line.substr(*pos, 4), 4, &unit)) {
          return Fail("\\u needs 4 hex digits");
        }
        out->push_back(static_cast<char16_t>(unit));
        *pos += 4;
        continue;
      }
      const char16_t unescaped = Unescape(e);
      if (unescaped == 0) return Fail("unknown escape");
      out->push_back(unescaped);
    }
    return Fail("unterminated string");
  }

  static int RootIndex(std::u16string_view name) {
    for (int i = 0; i < kRootCount; ++i) {
      const std::u16string root(kRootNames[i].begin(), kRootNames[i].end());
      if (NamesEqual(root, name)) return i;
    }
    return -1;
  }

  bool Fail(std::string reason) {
    error_->line = line_;
    error_->reason = std::move(reason);
    return false;
  }

  RegTree* const tree_;
  ParseError* const error_;
  RegKey* current_ = nullptr;
  int line_ = 0;
};

}  // namespace

bool ParseRegistryText(std::string_view text, RegTree* tree, ParseError* error) {
  *tree = RegTree{};
  return Parser(tree, error).Run(text);
}

// ---- Writing ----------------------------------------------------------------------------------

namespace {

void AppendEscapeU(char16_t unit, std::string* out) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(unit));
  out->append(buf);
}

void AppendQuoted(std::u16string_view s, std::string* out) {
  out->push_back('"');
  size_t run = 0;  // start of the units not yet written
  for (size_t i = 0; i < s.size();) {
    const char16_t unit = s[i];
    if (IsHighSurrogate(unit) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
      i += 2;
      continue;
    }
    const char letter = EscapeLetter(unit);
    if (letter == 0 && unit >= 0x20 && unit != 0x7F && !IsSurrogate(unit)) {
      ++i;
      continue;
    }
    out->append(Utf16ToUtf8(s.substr(run, i - run)));
    if (letter != 0) {
      out->push_back('\\');
      out->push_back(letter);
    } else {
      AppendEscapeU(unit, out);
    }
    run = ++i;
  }
  out->append(Utf16ToUtf8(s.substr(run)));
  out->push_back('"');
}

// REG_SZ data is written as text when it is whole UTF-16 units ending in its only NUL: then the
// text plus a NUL gives back exactly the same bytes.
bool ToText(const std::vector<BYTE>& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  for (size_t i = 0; i < data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    const bool last = i + 2 == data.size();
    if ((unit == 0) != last) return false;
    if (!last) text->push_back(unit);
  }
  return true;
}

void AppendValue(const RegValue& value, std::string* out) {
  if (value.name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(value.name, out);
  }
  out->push_back('=');
  std::u16string text;
  char buf[24];
  if (value.type == REG_SZ && ToText(value.data, &text)) {
    AppendQuoted(text, out);
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    const DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                    (static_cast<DWORD>(value.data[3]) << 24);
    std::snprintf(buf, sizeof(buf), "dword:%08x", static_cast<unsigned>(v));
    out->append(buf);
  } else {
    if (value.type == REG_BINARY) {
      out->append("hex:");
    } else {
      std::snprintf(buf, sizeof(buf), "hex(%x):", static_cast<unsigned>(value.type));
      out->append(buf);
    }
    for (size_t i = 0; i < value.data.size(); ++i) {
      std::snprintf(buf, sizeof(buf), i == 0 ? "%02x" : ",%02x", value.data[i]);
      out->append(buf);
    }
  }
  out->push_back('\n');
}

void AppendKey(const RegKey& key, const std::string& path, bool is_root, std::string* out) {
  if (!is_root || !key.values.empty()) {
    out->append("\n[").append(path).append("]\n");
    for (const RegValue& value : key.values) AppendValue(value, out);
  }
  for (const auto& child : key.children) {
    std::string child_path = path + "\\";
    child_path += Utf16ToUtf8(child->name);  // key names hold no unpaired surrogates
    AppendKey(*child, child_path, false, out);
  }
}

}  // namespace

std::string FormatRegistryText(const RegTree& tree) {
  std::string out(kHeader);
  out.push_back('\n');
  for (int i = 0; i < kRootCount; ++i) {
    AppendKey(tree.roots[i], std::string(kRootNames[i]), true, &out);
  }
  return out;
}

}  // namespace halcy::registry_internal
