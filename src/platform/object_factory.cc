#include "platform/object_factory.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/com_activation.h"
#include "platform/string_list.h"

namespace halcy {
namespace {

class ObjectTable {
 public:
  ObjectTable() { classes_[IStringList::kIID].create = &CreateStringList; }

  ComPtr<IUnknown> SetService(REFIID iid, IUnknown* service) {
    ComPtr<IUnknown> previous;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = services_.find(iid);
    if (it != services_.end()) {
      previous = std::move(it->second);
      services_.erase(it);
    }
    if (service) services_.emplace(iid, ComPtr<IUnknown>(service));
    return previous;
  }

  ComPtr<IUnknown> Service(REFIID iid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = services_.find(iid);
    return it == services_.end() ? nullptr : it->second;
  }

  CreatableClass SetClass(REFIID iid, CreatableClass entry) {
    CreatableClass previous;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = classes_.find(iid);
    if (it != classes_.end()) {
      previous = std::move(it->second);
      classes_.erase(it);
    }
    if (!entry.empty()) classes_.emplace(iid, std::move(entry));
    return previous;
  }

  CreatableClass Class(REFIID iid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = classes_.find(iid);
    return it == classes_.end() ? CreatableClass() : it->second;
  }

 private:
  std::mutex mutex_;
  std::map<IID, ComPtr<IUnknown>> services_;  // Guarded by mutex_
  std::map<IID, CreatableClass> classes_;     // Guarded by mutex_
};

// Never destroyed: services may be looked up from static destructors, and releasing objects
// of libraries that are already unloaded at exit would crash.
ObjectTable& Table() {
  static auto* table = new ObjectTable();
  return *table;
}

}  // namespace

ComPtr<IUnknown> SetService(REFIID iid, IUnknown* service) {
  return Table().SetService(iid, service);
}

CreatableClass SetCreatableClass(REFIID iid, CreatableClass entry) {
  return Table().SetClass(iid, std::move(entry));
}

}  // namespace halcy

namespace Util::Com {

HRESULT GetService(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // Copied out of the table, so the object is called with no lock held.
  ComPtr<IUnknown> service = halcy::Table().Service(iid);
  if (!service) return E_NOINTERFACE;
  return service->QueryInterface(iid, out);
}

HRESULT CreateObjectByIID(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  halcy::CreatableClass entry = halcy::Table().Class(iid);
  if (entry.create) return entry.create(iid, out);
  if (entry.clsid == GUID_NULL) return E_NOINTERFACE;
  return CoCreateInstance(entry.clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

}  // namespace Util::Com
