#include "extension/event_listener_table.h"

#include <utility>

namespace Logic {

void CEventListenerTable::Add(const std::u16string& event_name, EventListenerEntry entry) {
  base::CAutoLock hold(lock_);
  listeners_[event_name].push_back(std::move(entry));
}

std::vector<EventListenerEntry> CEventListenerTable::Listeners(
    const std::u16string& event_name) const {
  base::CAutoLock hold(lock_);
  auto it = listeners_.find(event_name);
  return it == listeners_.end() ? std::vector<EventListenerEntry>() : it->second;
}

size_t CEventListenerTable::RemoveOwner(const std::u16string& owner) {
  base::CAutoLock hold(lock_);
  size_t removed = 0;
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    removed += std::erase_if(it->second,
                             [&](const EventListenerEntry& entry) { return entry.owner == owner; });
    it = it->second.empty() ? listeners_.erase(it) : std::next(it);
  }
  return removed;
}

size_t CEventListenerTable::Remove(const std::u16string& owner, const std::u16string& event_name,
                                   LONG value) {
  base::CAutoLock hold(lock_);
  auto it = listeners_.find(event_name);
  if (it == listeners_.end()) return 0;
  const size_t removed = std::erase_if(it->second, [&](const EventListenerEntry& entry) {
    return entry.owner == owner && entry.value == value;
  });
  if (it->second.empty()) listeners_.erase(it);
  return removed;
}

}  // namespace Logic
