#include "extension/fe_sink_table.h"

#include <algorithm>
#include <utility>

namespace Logic {

void CFESinkTable::Add(FESinkEntry entry) {
  base::CAutoLock hold(lock_);
  for (FESinkEntry& existing : entries_) {
    if (existing.extension_id == entry.extension_id && existing.key == entry.key) {
      existing = std::move(entry);
      return;
    }
  }
  entries_.push_back(std::move(entry));
}

bool CFESinkTable::FindByValues(LONG value1, LONG value2, std::u16string* extension_id) const {
  base::CAutoLock hold(lock_);
  for (const FESinkEntry& entry : entries_) {
    if (entry.value1 == value1 && entry.value2 == value2) {
      *extension_id = entry.extension_id;
      return true;
    }
  }
  return false;
}

bool CFESinkTable::FindByKey(const std::u16string& extension_id, const std::u16string& key,
                             FESinkEntry* entry) const {
  base::CAutoLock hold(lock_);
  for (const FESinkEntry& candidate : entries_) {
    if (candidate.extension_id == extension_id && candidate.key == key) {
      *entry = candidate;
      return true;
    }
  }
  return false;
}

size_t CFESinkTable::RemoveOwner(const std::u16string& owner) {
  base::CAutoLock hold(lock_);
  return std::erase_if(entries_,
                       [&](const FESinkEntry& entry) { return entry.extension_id == owner; });
}

size_t CFESinkTable::RemoveOwnerValue(const std::u16string& owner, LONG value) {
  base::CAutoLock hold(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const FESinkEntry& entry) {
    return entry.extension_id == owner && entry.value1 == value;
  });
  if (it == entries_.end()) return 0;
  entries_.erase(it);
  return 1;
}

size_t CFESinkTable::size() const {
  base::CAutoLock hold(lock_);
  return entries_.size();
}

}  // namespace Logic
