// CBkCoreTable: the background-core table, extension id -> the extension's background core
// (bk_core.h) with the thread that owns it, the two values the core reports about itself and
// its routing handle. Filled on the extension-manager thread as cores are created; read by
// message routing to deliver to a page.
//
// Thread-safe: one lock guards the map; readers get copies (with counted references), so no
// lock is held while a core is called or released.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/lock.h"
#include "extension/bk_core.h"
#include "platform/com.h"

namespace Logic {

struct BkCoreRecord {
  std::u16string extension_id;
  ComPtr<IExtBackgroundCore> core;
  DWORD owner_thread = 0;  // the core is called on this thread only
  LONG value1 = 0;         // the two values the core reports about itself
  LONG value2 = 0;
  LONG routing_handle = 0;
};

class CBkCoreTable {
 public:
  // Enters `record` under its extension id, replacing an earlier core of that extension (the
  // earlier one is released after the lock).
  void Insert(BkCoreRecord record);
  // Copies the record of `extension_id` into `record`; false when the extension has no core.
  bool Find(const std::u16string& extension_id, BkCoreRecord* record) const;
  // The record whose routing handle is `routing_handle`; false when none.
  bool FindByHandle(LONG routing_handle, BkCoreRecord* record) const;
  // Every record, in extension-id order.
  std::vector<BkCoreRecord> All() const;
  // Removes the core of `extension_id`; false when there was none.
  bool Remove(const std::u16string& extension_id);
  // Empties the table; the cores are released when the returned copy goes.
  std::vector<BkCoreRecord> TakeAll();

 private:
  mutable base::CLock lock_;
  std::map<std::u16string, BkCoreRecord> cores_;  // Guarded by lock_
};

}  // namespace Logic
