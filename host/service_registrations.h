// Services and creatable classes registered with the object factory for a while: each
// registration remembers what it replaced, and Restore (also run by the destructor) puts
// everything back in reverse order, so that nested registrations unwind to what was there first.
//
//   host::CServiceRegistrations registrations;
//   registrations.Publish(IThreadService::kIID, thread_service);
//   ...
//   registrations.Restore();  // or let it go out of scope
//
// Belongs to the thread that owns it; the object factory itself is free-threaded.
#pragma once

#include <utility>
#include <vector>

#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"

namespace host {

// The creatable-class entry that makes a new T(args...) for each request and answers `iid` on it.
template <class T, class... Args>
halcy::CreatableClass MakeObjectFactory(Args... args) {
  halcy::CreatableClass entry;
  entry.create = [args...](REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<T> object = halcy::MakeComObject<T>(args...);
    return object ? object->QueryInterface(iid, out) : E_OUTOFMEMORY;
  };
  return entry;
}

class CServiceRegistrations {
 public:
  CServiceRegistrations() = default;
  ~CServiceRegistrations() { Restore(); }
  CServiceRegistrations(const CServiceRegistrations&) = delete;
  CServiceRegistrations& operator=(const CServiceRegistrations&) = delete;

  // Registers `service` for `iid` (null removes the entry).
  void Publish(REFIID iid, IUnknown* service) {
    services_.emplace_back(iid, halcy::SetService(iid, service));
  }
  // Registers how objects for `iid` are created.
  void PublishClass(REFIID iid, halcy::CreatableClass entry) {
    classes_.emplace_back(iid, halcy::SetCreatableClass(iid, std::move(entry)));
  }
  void Restore() {
    for (auto it = services_.rbegin(); it != services_.rend(); ++it) {
      halcy::SetService(it->first, it->second.Get());
    }
    services_.clear();
    for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
      halcy::SetCreatableClass(it->first, std::move(it->second));
    }
    classes_.clear();
  }

 private:
  std::vector<std::pair<IID, ComPtr<IUnknown>>> services_;
  std::vector<std::pair<IID, halcy::CreatableClass>> classes_;
};

}  // namespace host
