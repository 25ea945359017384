#include "platform/string_list.h"

#include <mutex>
#include <string>
#include <vector>

#include "platform/bstr.h"
#include "platform/com_object.h"

// The platform library counts its own objects (string lists) like any other binary.
HALCY_DEFINE_COM_MODULE()

namespace halcy {
namespace {

class CStringList : public ComObjectRoot, public IStringList {
 public:
  HALCY_BEGIN_INTERFACES(CStringList)
  HALCY_INTERFACE(CStringList, IStringList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *count = static_cast<LONG>(items_.size());
    return S_OK;
  }

  HRESULT GetAt(LONG index, BSTR* item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) return E_INVALIDARG;
    const std::u16string& s = items_[static_cast<size_t>(index)];
    *item = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *item ? S_OK : E_OUTOFMEMORY;
  }

  HRESULT Append(LPCWSTR item) override {
    if (!item) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    items_.emplace_back(item);
    return S_OK;
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> items_;  // Guarded by mutex_
};

}  // namespace

HRESULT CreateStringList(REFIID iid, void** out) {
  return CreateComInstance<CStringList>(nullptr, iid, out);
}

}  // namespace halcy
