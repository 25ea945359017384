// The registry's in-memory tree and its `.reg`-style text form (UTF-8):
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CLASSES_ROOT\AppID\{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}]
//   @="plexore"
//   "Name"="text with \"quotes\", \\ backslashes and \n newlines"
//   "Flag"=dword:0000000a
//   "Bytes"=hex:01,ff
//   "Other"=hex(b):01,00,00,00,00,00,00,00
//
// Strings escape `\"`, `\\`, `\n`, `\r`, `\t` and write other control characters and unpaired
// surrogates as `\uXXXX`. Keys are written parent first, children and values in creation
// order, so reading a written file reproduces the tree and its order exactly. Blank lines and
// lines starting with ";" are ignored; any other line that does not parse is an error.
//
// Internal to the registry. Plain data and pure functions: a tree is not synchronised, its
// owner guards it.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace halcy::registry_internal {

// The roots in file order: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
// HKEY_USERS, HKEY_CURRENT_CONFIG.
constexpr int kRootCount = 5;
extern const std::array<std::string_view, kRootCount> kRootNames;

// Key and value names compare without regard to ASCII case.
bool NamesEqual(std::u16string_view a, std::u16string_view b);
// 1 to 255 units, no "\", no control character, no unpaired surrogate.
bool IsValidKeyName(std::u16string_view name);

struct RegValue {
  std::u16string name;  // empty: the key's default value
  DWORD type = 0;
  std::vector<BYTE> data;
};

// A key with its values and subkeys, both in creation order.
struct RegKey {
  std::u16string name;
  std::vector<RegValue> values;
  std::vector<std::unique_ptr<RegKey>> children;

  const RegKey* FindChild(std::u16string_view child) const;
  RegKey* FindChild(std::u16string_view child);
  // REQUIRES: no child of that name yet.
  RegKey* AddChild(std::u16string_view child);
  // Returns false when there is no such child.
  bool RemoveChild(std::u16string_view child);

  const RegValue* FindValue(std::u16string_view value) const;
  // Replaces the value in place or appends it; returns false when it already held exactly this.
  bool SetValue(std::u16string_view value, DWORD type, const BYTE* data, size_t size);
  // Returns false when there is no such value.
  bool RemoveValue(std::u16string_view value);
};

// REG_SZ data for `text`: its UTF-16 units, little-endian, and a NUL.
std::vector<BYTE> StringToData(std::u16string_view text);

struct RegTree {
  std::array<RegKey, kRootCount> roots;
};

struct ParseError {
  int line = 0;  // 1-based
  std::string reason;
};

// Replaces *tree with the file's contents. On failure *tree is unspecified.
bool ParseRegistryText(std::string_view text, RegTree* tree, ParseError* error);
std::string FormatRegistryText(const RegTree& tree);

}  // namespace halcy::registry_internal
