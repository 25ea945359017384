#include "extension/route_cache.h"

namespace Logic {

CRouteCache& CRouteCache::Get() {
  static CRouteCache cache;
  return cache;
}

bool CRouteCache::Find(const std::u16string& extension_id, bool* native_route) const {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = native_route_.find(extension_id);
  if (it == native_route_.end()) return false;
  *native_route = it->second;
  return true;
}

bool CRouteCache::Record(const std::u16string& extension_id, bool native_route) {
  std::lock_guard<std::mutex> hold(mutex_);
  return native_route_.try_emplace(extension_id, native_route).first->second;
}

}  // namespace Logic
