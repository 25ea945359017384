#include "extension/bk_core_table.h"

#include <utility>

namespace Logic {

void CBkCoreTable::Insert(BkCoreRecord record) {
  BkCoreRecord replaced;  // released after the lock
  base::CAutoLock hold(lock_);
  BkCoreRecord& slot = cores_[record.extension_id];
  replaced = std::exchange(slot, std::move(record));
}

bool CBkCoreTable::Find(const std::u16string& extension_id, BkCoreRecord* record) const {
  base::CAutoLock hold(lock_);
  auto it = cores_.find(extension_id);
  if (it == cores_.end()) return false;
  *record = it->second;
  return true;
}

bool CBkCoreTable::FindByHandle(LONG routing_handle, BkCoreRecord* record) const {
  base::CAutoLock hold(lock_);
  for (const auto& [id, entry] : cores_) {
    if (entry.routing_handle == routing_handle) {
      *record = entry;
      return true;
    }
  }
  return false;
}

std::vector<BkCoreRecord> CBkCoreTable::All() const {
  std::vector<BkCoreRecord> records;
  base::CAutoLock hold(lock_);
  records.reserve(cores_.size());
  for (const auto& [id, entry] : cores_) records.push_back(entry);
  return records;
}

bool CBkCoreTable::Remove(const std::u16string& extension_id) {
  BkCoreRecord removed;  // released after the lock
  base::CAutoLock hold(lock_);
  auto it = cores_.find(extension_id);
  if (it == cores_.end()) return false;
  removed = std::move(it->second);
  cores_.erase(it);
  return true;
}

std::vector<BkCoreRecord> CBkCoreTable::TakeAll() {
  std::map<std::u16string, BkCoreRecord> taken;
  {
    base::CAutoLock hold(lock_);
    taken.swap(cores_);
  }
  std::vector<BkCoreRecord> records;
  records.reserve(taken.size());
  for (auto& [id, entry] : taken) records.push_back(std::move(entry));
  return records;
}

}  // namespace Logic
