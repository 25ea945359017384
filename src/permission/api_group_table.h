// ApiGroupTable: which API names each permission group unlocks ("history" unlocks
// "hcbrowser.history.search", ...). One table per process, built from the module's constant
// group lists when the library is loaded and destroyed when it is unloaded.
//
//   const Logic::ApiGroupTable::NameSet* names = Logic::ApiGroupTable::Get().Find(u"history");
//   bool granted = names && names->count(u"hcbrowser.history.search") != 0;
//
// API names are stored lower-cased (LowerCasePermissionText); group names as written. Two stored
// names end in a TAB character and keep it, so the same names without the TAB are not in the
// table.
//
// Thread-safe: the table is filled before any class object of the module is handed out and
// never changes afterwards, so it is read without locking from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace Logic {

// The lower-cased copy that permission texts are stored and compared as. The module never
// changes the C runtime's locale, so the current locale is "C", where lower-casing a wide
// string changes only the letters A to Z.
std::u16string LowerCasePermissionText(std::u16string_view text);

class ApiGroupTable {
 public:
  using NameSet = std::set<std::u16string, std::less<>>;

  // The process's table, complete from library load on.
  static const ApiGroupTable& Get();

  // Builds the module's 17 groups.
  ApiGroupTable();

  // Adds `count` names to `group` (created empty when absent), each lower-cased; a name
  // already present stays once.
  void AddGroup(std::u16string_view group, const char16_t* const* names, size_t count);

  // The names of `group` (matched exactly, case-sensitive), or null when there is no such
  // group.
  const NameSet* Find(std::u16string_view group) const;

  const std::map<std::u16string, NameSet, std::less<>>& groups() const { return groups_; }

 private:
  std::map<std::u16string, NameSet, std::less<>> groups_;
};

}  // namespace Logic
