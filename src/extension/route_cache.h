// CRouteCache: which route each extension's messages take, decided on the first message for
// the extension and kept for the life of the process: the native-library route (IPC to the
// extension-DLL process) when the extension had no background page then, the background-page
// route otherwise. A background page added later does not change the route.
//
// One cache per process. Thread-safe (a mutex guards the map), although the manager fills and
// reads it on the extension-manager thread only.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace Logic {

class CRouteCache {
 public:
  static CRouteCache& Get();

  // The recorded route of `extension_id` in `native_route`; false when none is recorded yet.
  bool Find(const std::u16string& extension_id, bool* native_route) const;
  // Records the route of `extension_id` unless one is recorded already; returns the route in
  // force afterwards.
  bool Record(const std::u16string& extension_id, bool native_route);

 private:
  mutable std::mutex mutex_;
  std::map<std::u16string, bool> native_route_;  // Guarded by mutex_
};

}  // namespace Logic
