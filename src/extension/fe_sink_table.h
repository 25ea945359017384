// CFESinkTable: one of the manager's two front-end sink tables. A registration names the
// extension, the two numbers that identify the front-end sink (fe_sink_service.h), the key it
// answers to, and the thread that registered it, on which the sink is later called.
//
// Table A takes the registrations of IExtensionMgr slots 19 and 26, table B those of slot 27;
// the response to the front end looks in A first, then in B.
//
// Thread-safe: one lock per table; lookups return copies, so no lock is held while a sink is
// called.
#pragma once

#include <string>
#include <vector>

#include "base/lock.h"
#include "platform/win_types.h"

namespace Logic {

enum class FESinkTable { kA, kB };

struct FESinkEntry {
  std::u16string extension_id;
  LONG value1 = 0;
  LONG value2 = 0;
  std::u16string key;
  DWORD owner_thread = 0;
};

class CFESinkTable {
 public:
  // Adds `entry`; a registration of the same extension and key is replaced.
  void Add(FESinkEntry entry);
  // The extension of the first registration whose two numbers are (`value1`, `value2`).
  bool FindByValues(LONG value1, LONG value2, std::u16string* extension_id) const;
  // The registration of (`extension_id`, `key`).
  bool FindByKey(const std::u16string& extension_id, const std::u16string& key,
                 FESinkEntry* entry) const;
  // Removes every registration of `owner`; returns how many went.
  size_t RemoveOwner(const std::u16string& owner);
  // Removes the first registration of `owner` whose first number is `value`.
  size_t RemoveOwnerValue(const std::u16string& owner, LONG value);
  size_t size() const;

 private:
  mutable base::CLock lock_;
  std::vector<FESinkEntry> entries_;  // Guarded by lock_
};

}  // namespace Logic
