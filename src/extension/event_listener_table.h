// CEventListenerTable: event name -> the background pages that asked for the event. A page is
// named either by its extension id (IExtensionMgr slot 37) or by the routing handle of its
// background core (slot 22); named events (slot 21) are delivered to each registered page.
//
// Thread-safe: one lock guards the table; Listeners returns a copy, so no lock is held while a
// page is called.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/lock.h"
#include "platform/win_types.h"

namespace Logic {

struct EventListenerEntry {
  std::u16string owner;     // the extension id; "" when only the routing handle is known
  LONG value = 0;           // the registration's own value (removal by value, slot 29)
  LONG routing_handle = 0;  // the core's routing handle (slot 22 registrations)
  LONG core_value1 = 0;     // the two values the core reported (slot 22 registrations)
  LONG core_value2 = 0;
};

class CEventListenerTable {
 public:
  void Add(const std::u16string& event_name, EventListenerEntry entry);
  // The registrations of `event_name`, in registration order.
  std::vector<EventListenerEntry> Listeners(const std::u16string& event_name) const;
  // Every registration of `owner`, under any event; returns how many went.
  size_t RemoveOwner(const std::u16string& owner);
  // The registrations of `owner` under `event_name` whose value is `value`.
  size_t Remove(const std::u16string& owner, const std::u16string& event_name, LONG value);

 private:
  mutable base::CLock lock_;
  std::map<std::u16string, std::vector<EventListenerEntry>> listeners_;  // Guarded by lock_
};

}  // namespace Logic
