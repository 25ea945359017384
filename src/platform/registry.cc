#include "platform/registry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry_format.h"
#include "platform/registry_store.h"

using halcy::registry_internal::ChangeRegistry;
using halcy::registry_internal::IsValidKeyName;
using halcy::registry_internal::ReadRegistry;
using halcy::registry_internal::RegKey;
using halcy::registry_internal::RegTree;
using halcy::registry_internal::RegValue;
using halcy::registry_internal::StringToData;

namespace {

constexpr size_t kMaxValueNameLength = 16383;

// A key named by its root and the key names below it.
struct KeyPath {
  int root = 0;
  std::vector<std::u16string> parts;
};

struct OpenKey {
  KeyPath path;
  REGSAM sam = 0;
};

int PredefinedRoot(uintptr_t value) {
  switch (value) {
    case 0x80000000:
      return 0;
    case 0x80000001:
      return 1;
    case 0x80000002:
      return 2;
    case 0x80000003:
      return 3;
    case 0x80000005:
      return 4;
    default:
      return -1;
  }
}

// Open handles by value. Values are never reused, so a stale handle cannot reach another key.
class HandleTable {
 public:
  HKEY Add(OpenKey key) {
    std::lock_guard<std::mutex> lock(mu_);
    // Skip the range of the predefined roots (reached only after half a billion handles).
    if (next_ >= 0x80000000 && next_ < 0x80000010) next_ = 0x80000010;
    const uintptr_t value = next_;
    next_ += 4;
    open_.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
  }

  bool Find(HKEY key, OpenKey* out) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    const int root = PredefinedRoot(value);
    if (root >= 0) {
      *out = OpenKey{KeyPath{root, {}}, KEY_ALL_ACCESS};
      return true;
    }
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = open_.find(value);
    if (it == open_.end()) return false;
    *out = it->second;
    return true;
  }

  LONG Close(HKEY key) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    if (PredefinedRoot(value) >= 0) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(mu_);
    if (open_.erase(value) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  }

 private:
  std::mutex mu_;
  // Guarded by mu_
  uintptr_t next_ = 0x1000;
  std::unordered_map<uintptr_t, OpenKey> open_;
};

HandleTable& Handles() {
  // Never destroyed: handles may be used by other threads while the process exits.
  static HandleTable* const table = new HandleTable;
  return *table;
}

// Looks `key` up and checks that it was opened with every right in `needed`.
LONG Resolve(HKEY key, REGSAM needed, OpenKey* out) {
  if (!Handles().Find(key, out)) return ERROR_INVALID_HANDLE;
  if ((out->sam & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Splits `subkey` into key names; null or empty gives none.
LONG SplitSubkey(std::u16string_view subkey, std::vector<std::u16string>* parts) {
  if (!subkey.empty() && subkey.front() == u'\\') return ERROR_BAD_PATHNAME;
  if (!subkey.empty() && subkey.back() == u'\\') subkey.remove_suffix(1);
  for (size_t start = 0; start < subkey.size();) {
    const size_t end = std::min(subkey.find(u'\\', start), subkey.size());
    const std::u16string_view part = subkey.substr(start, end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (!IsValidKeyName(part)) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(part);
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Resolve(), then SplitSubkey() of `subkey` into *below.
LONG Resolve(HKEY key, REGSAM needed, std::u16string_view subkey, OpenKey* out,
             std::vector<std::u16string>* below) {
  const LONG status = Resolve(key, needed, out);
  return status != ERROR_SUCCESS ? status : SplitSubkey(subkey, below);
}

std::u16string_view ViewOf(LPCWSTR text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

// Follows the first `count` of `parts` down from `key`; null when one is missing. Works on
// const and mutable trees.
template <class Key>
Key* Descend(Key* key, const std::vector<std::u16string>& parts, size_t count = SIZE_MAX) {
  count = std::min(count, parts.size());
  for (size_t i = 0; i < count && key != nullptr; ++i) key = key->FindChild(parts[i]);
  return key;
}

template <class Tree>
auto* KeyOf(Tree& tree, const KeyPath& path) {
  return Descend(&tree.roots[path.root], path.parts);
}

// Creates the missing keys of `parts` below `key` (which sits at parts[from - 1]).
LONG CreatePath(RegKey* key, const std::vector<std::u16string>& parts, size_t from,
                REGSAM parent_sam, RegKey** out, bool* created) {
  for (size_t i = from; i < parts.size(); ++i) {
    RegKey* child = key->FindChild(parts[i]);
    if (child == nullptr) {
      if ((parent_sam & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      child = key->AddChild(parts[i]);
      *created = true;
    }
    key = child;
  }
  *out = key;
  return ERROR_SUCCESS;
}

LONG CopyData(const RegValue& value, DWORD* type, BYTE* data, DWORD* cb) {
  if (type != nullptr) *type = value.type;
  const auto size = static_cast<DWORD>(value.data.size());
  if (data != nullptr && *cb < size) {
    *cb = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, value.data.data(), size);
  if (cb != nullptr) *cb = size;
  return ERROR_SUCCESS;
}

// Copies `name` and its NUL into a buffer of *len units; *len becomes the length without NUL.
LONG CopyName(std::u16string_view name, LPWSTR out, DWORD* len) {
  if (*len <= name.size()) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = u'\0';
  *len = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Writes an empty class name where one was asked for.
void ClearClass(LPWSTR cls, DWORD* cls_len) {
  if (cls != nullptr && cls_len != nullptr && *cls_len > 0) cls[0] = u'\0';
  if (cls_len != nullptr) *cls_len = 0;
}

void ClearFileTime(void* file_time) {
  if (file_time != nullptr) std::memset(file_time, 0, sizeof(uint64_t));
}

// Runs `read` on the key `below` the one `open` names.
LONG ReadKey(const OpenKey& open, const std::vector<std::u16string>& below,
             const std::function<LONG(const RegKey&)>& read) {
  return ReadRegistry([&](const RegTree& tree) -> LONG {
    const RegKey* key = KeyOf(tree, open.path);
    if (key == nullptr) return ERROR_KEY_DELETED;
    key = Descend(key, below);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    return read(*key);
  });
}

// Runs `change` on the key `open` names.
LONG ChangeKey(const OpenKey& open, const std::function<LONG(RegKey&, bool* changed)>& change) {
  return ChangeRegistry([&](RegTree& tree, bool* changed) -> LONG {
    RegKey* key = KeyOf(tree, open.path);
    if (key == nullptr) return ERROR_KEY_DELETED;
    return change(*key, changed);
  });
}

// Checks `key` for the rights in `needed`, then runs `read` on the key it names.
LONG ReadHandleKey(HKEY key, REGSAM needed, const std::function<LONG(const RegKey&)>& read) {
  OpenKey open;
  const LONG status = Resolve(key, needed, &open);
  return status != ERROR_SUCCESS ? status : ReadKey(open, {}, read);
}

// Checks `key` for the rights in `needed`, then runs `change` on the key it names.
LONG ChangeHandleKey(HKEY key, REGSAM needed,
                     const std::function<LONG(RegKey&, bool* changed)>& change) {
  OpenKey open;
  const LONG status = Resolve(key, needed, &open);
  return status != ERROR_SUCCESS ? status : ChangeKey(open, change);
}

}  // namespace

LONG RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition) {
  if (result == nullptr || subkey == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  OpenKey parent;
  std::vector<std::u16string> below;
  LONG status = Resolve(key, 0, subkey, &parent, &below);
  if (status != ERROR_SUCCESS) return status;
  KeyPath target = parent.path;
  target.parts.insert(target.parts.end(), below.begin(), below.end());
  bool created = false;
  status = ChangeKey(parent, [&](RegKey& start, bool* changed) -> LONG {
    RegKey* ignored;
    const LONG r =
        CreatePath(&start, target.parts, parent.path.parts.size(), parent.sam, &ignored, &created);
    *changed = created;
    return r;
  });
  if (status != ERROR_SUCCESS) return status;
  if (disposition != nullptr) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  *result = Handles().Add(OpenKey{std::move(target), sam});
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM sam, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenKey parent;
  std::vector<std::u16string> below;
  LONG status = Resolve(key, 0, ViewOf(subkey), &parent, &below);
  if (status != ERROR_SUCCESS) return status;
  status = ReadKey(parent, below, [](const RegKey&) -> LONG { return ERROR_SUCCESS; });
  if (status != ERROR_SUCCESS) return status;
  KeyPath target = std::move(parent.path);
  target.parts.insert(target.parts.end(), below.begin(), below.end());
  *result = Handles().Add(OpenKey{std::move(target), sam});
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) { return Handles().Close(key); }

LONG RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* cb) {
  if (reserved != nullptr || (data != nullptr && cb == nullptr)) return ERROR_INVALID_PARAMETER;
  return ReadHandleKey(key, KEY_QUERY_VALUE, [&](const RegKey& k) -> LONG {
    const RegValue* value = k.FindValue(ViewOf(name));
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return CopyData(*value, type, data, cb);
  });
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cb) {
  if (data == nullptr && cb != 0) return ERROR_INVALID_PARAMETER;
  if (ViewOf(name).size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  return ChangeHandleKey(key, KEY_SET_VALUE, [&](RegKey& k, bool* changed) -> LONG {
    *changed = k.SetValue(ViewOf(name), type, data, cb);
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
  return ChangeHandleKey(key, KEY_SET_VALUE, [&](RegKey& k, bool* changed) -> LONG {
    *changed = k.RemoveValue(ViewOf(name));
    if (!*changed) return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD* reserved, LPWSTR cls,
                   DWORD* cls_len, void* last_write_time) {
  if (name == nullptr || name_len == nullptr || reserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  return ReadHandleKey(key, KEY_ENUMERATE_SUB_KEYS, [&](const RegKey& k) -> LONG {
    if (index >= k.children.size()) return ERROR_NO_MORE_ITEMS;
    const LONG r = CopyName(k.children[index]->name, name, name_len);
    if (r == ERROR_SUCCESS) {
      ClearClass(cls, cls_len);
      ClearFileTime(last_write_time);
    }
    return r;
  });
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* name_len, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* cb) {
  if (name == nullptr || name_len == nullptr || reserved != nullptr ||
      (data != nullptr && cb == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  return ReadHandleKey(key, KEY_QUERY_VALUE, [&](const RegKey& k) -> LONG {
    if (index >= k.values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& value = k.values[index];
    const LONG r = CopyName(value.name, name, name_len);
    return r != ERROR_SUCCESS ? r : CopyData(value, type, data, cb);
  });
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subkey) {
  if (subkey == nullptr) return ERROR_INVALID_PARAMETER;
  OpenKey open;
  std::vector<std::u16string> below;
  const LONG status = Resolve(key, 0, subkey, &open, &below);
  if (status != ERROR_SUCCESS) return status;
  KeyPath target = open.path;
  target.parts.insert(target.parts.end(), below.begin(), below.end());
  if (target.parts.empty()) return ERROR_ACCESS_DENIED;  // a root
  const std::u16string leaf = std::move(target.parts.back());
  target.parts.pop_back();
  return ChangeRegistry([&](RegTree& tree, bool* changed) -> LONG {
    if (KeyOf(tree, open.path) == nullptr) return ERROR_KEY_DELETED;
    RegKey* parent = KeyOf(tree, target);
    const RegKey* victim = parent != nullptr ? parent->FindChild(leaf) : nullptr;
    if (victim == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!victim->children.empty()) return ERROR_ACCESS_DENIED;
    *changed = parent->RemoveChild(leaf);
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteTreeW(HKEY key, LPCWSTR subkey) {
  OpenKey open;
  const bool own_key = ViewOf(subkey).empty();
  const REGSAM needed = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (own_key ? KEY_SET_VALUE : 0);
  std::vector<std::u16string> parts;
  const LONG status = Resolve(key, needed, ViewOf(subkey), &open, &parts);
  if (status != ERROR_SUCCESS) return status;
  return ChangeKey(open, [&](RegKey& start, bool* changed) -> LONG {
    if (own_key) {
      *changed = !start.values.empty() || !start.children.empty();
      start.values.clear();
      start.children.clear();
      return ERROR_SUCCESS;
    }
    RegKey* parent = Descend(&start, parts, parts.size() - 1);
    if (parent == nullptr || !parent->RemoveChild(parts.back())) return ERROR_FILE_NOT_FOUND;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, DWORD* cls_len, DWORD* reserved, DWORD* subkeys,
                      DWORD* max_subkey_len, DWORD* max_class_len, DWORD* values,
                      DWORD* max_value_name_len, DWORD* max_value_len,
                      DWORD* security_descriptor_len, void* last_write_time) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  return ReadHandleKey(key, KEY_QUERY_VALUE, [&](const RegKey& k) -> LONG {
    size_t longest_subkey = 0, longest_name = 0, longest_data = 0;
    for (const auto& child : k.children)
      longest_subkey = std::max(longest_subkey, child->name.size());
    for (const RegValue& v : k.values) {
      longest_name = std::max(longest_name, v.name.size());
      longest_data = std::max(longest_data, v.data.size());
    }
    ClearClass(cls, cls_len);
    if (subkeys != nullptr) *subkeys = static_cast<DWORD>(k.children.size());
    if (max_subkey_len != nullptr) *max_subkey_len = static_cast<DWORD>(longest_subkey);
    if (max_class_len != nullptr) *max_class_len = 0;
    if (values != nullptr) *values = static_cast<DWORD>(k.values.size());
    if (max_value_name_len != nullptr) *max_value_name_len = static_cast<DWORD>(longest_name);
    if (max_value_len != nullptr) *max_value_len = static_cast<DWORD>(longest_data);
    if (security_descriptor_len != nullptr) *security_descriptor_len = 0;
    ClearFileTime(last_write_time);
    return ERROR_SUCCESS;
  });
}

namespace halcy {

namespace {

// Reads one value in a single look at the file.
LONG ReadValue(HKEY root, std::u16string_view subkey, std::u16string_view name, RegValue* out) {
  OpenKey open;
  std::vector<std::u16string> below;
  const LONG status = Resolve(root, 0, subkey, &open, &below);
  if (status != ERROR_SUCCESS) return status;
  return ReadKey(open, below, [&](const RegKey& k) -> LONG {
    const RegValue* value = k.FindValue(name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    *out = *value;
    return ERROR_SUCCESS;
  });
}

// Creates the key if needed and sets one value, in a single change of the file.
LONG WriteValue(HKEY root, std::u16string_view subkey, std::u16string_view name, DWORD type,
                const BYTE* data, size_t size) {
  if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  OpenKey open;
  std::vector<std::u16string> parts;
  const LONG status = Resolve(root, 0, subkey, &open, &parts);
  if (status != ERROR_SUCCESS) return status;
  return ChangeKey(open, [&](RegKey& start, bool* changed) -> LONG {
    RegKey* key;
    bool created = false;
    const LONG r = CreatePath(&start, parts, 0, KEY_ALL_ACCESS, &key, &created);
    if (r != ERROR_SUCCESS) return r;
    *changed = key->SetValue(name, type, data, size) || created;
    return ERROR_SUCCESS;
  });
}

}  // namespace

std::string RegistryPath() { return registry_internal::ResolveRegistryPath(); }

LONG RegReadDword(HKEY root, std::u16string_view subkey, std::u16string_view name, DWORD* value) {
  RegValue read;
  const LONG status = ReadValue(root, subkey, name, &read);
  if (status != ERROR_SUCCESS) return status;
  if (read.type != REG_DWORD || read.data.size() != sizeof(DWORD)) return ERROR_INVALID_DATA;
  std::memcpy(value, read.data.data(), sizeof(DWORD));
  return ERROR_SUCCESS;
}

LONG RegReadString(HKEY root, std::u16string_view subkey, std::u16string_view name,
                   std::u16string* value) {
  RegValue read;
  const LONG status = ReadValue(root, subkey, name, &read);
  if (status != ERROR_SUCCESS) return status;
  if ((read.type != REG_SZ && read.type != REG_EXPAND_SZ) || read.data.size() % 2 != 0) {
    return ERROR_INVALID_DATA;
  }
  value->clear();
  for (size_t i = 0; i < read.data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(read.data[i] | (read.data[i + 1] << 8));
    if (unit == u'\0') break;
    value->push_back(unit);
  }
  return ERROR_SUCCESS;
}

LONG RegWriteDword(HKEY root, std::u16string_view subkey, std::u16string_view name, DWORD value) {
  BYTE bytes[sizeof(DWORD)];
  std::memcpy(bytes, &value, sizeof(bytes));
  return WriteValue(root, subkey, name, REG_DWORD, bytes, sizeof(bytes));
}

LONG RegWriteString(HKEY root, std::u16string_view subkey, std::u16string_view name,
                    std::u16string_view value) {
  const std::vector<BYTE> bytes = StringToData(value);
  return WriteValue(root, subkey, name, REG_SZ, bytes.data(), bytes.size());
}

}  // namespace halcy
