// The object template: QueryInterface over an interface table, atomic reference counts,
// aggregation, and the module lock count that DllCanUnloadNow reads.
//
// A class lists its interfaces once and leaves IUnknown to the template:
//
//   class CFoo : public halcy::ComObjectRoot, public IFoo, public IProvideClassInfo {
//    public:
//     HALCY_BEGIN_INTERFACES(CFoo)
//       HALCY_INTERFACE(CFoo, IFoo)
//       HALCY_INTERFACE(CFoo, IProvideClassInfo)
//     HALCY_END_INTERFACES()
//     HRESULT FinalConstruct();   // optional: runs with a count of 1 before the first QI
//     void FinalRelease();        // optional: runs before the object is deleted
//   };
//   ComPtr<IFoo> foo;
//   halcy::CreateComInstance<CFoo>(nullptr, IFoo::kIID, foo.ReleaseAndGetVoidAddress());
//
// Reference counts are atomic: objects may be AddRef'd and Released on any thread.
// Each binary that instantiates the template places HALCY_DEFINE_COM_MODULE() in one .cc file.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "platform/com.h"

namespace halcy {

// Living objects plus server locks of one binary (a shared object or an executable).
class ComModule {
 public:
  long Lock() { return locks_.fetch_add(1, std::memory_order_relaxed) + 1; }
  long Unlock() { return locks_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  long GetLockCount() const { return locks_.load(std::memory_order_acquire); }

 private:
  std::atomic<long> locks_{0};
};

// Defined once per binary (hidden, so that every shared object counts its own objects).
__attribute__((visibility("hidden"))) ComModule& ThisComModule();

#define HALCY_DEFINE_COM_MODULE()                                                  \
  __attribute__((visibility("hidden"))) halcy::ComModule& halcy::ThisComModule() { \
    static ComModule module;                                                       \
    return module;                                                                 \
  }

// One row of an interface table; the table ends with a row whose iid is null.
struct InterfaceEntry {
  const IID* iid;
  void* (*cast)(void* self);
};

template <class T, class I>
void* CastToInterface(void* self) {
  return static_cast<I*>(static_cast<T*>(self));
}

// IUnknown resolves to the first row, so that every QI for IUnknown gives the same pointer.
inline HRESULT QueryInterfaceTable(void* self, const InterfaceEntry* table, REFIID iid,
                                   void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IUnknown::kIID) {
    *out = table[0].cast(self);
  } else {
    for (const InterfaceEntry* e = table; e->iid; ++e) {
      if (*e->iid == iid) {
        *out = e->cast(self);
        break;
      }
    }
  }
  if (!*out) return E_NOINTERFACE;
  static_cast<IUnknown*>(*out)->AddRef();
  return S_OK;
}

// Base of every object: its count, its outer unknown when aggregated, and default hooks.
class ComObjectRoot {
 public:
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}

 protected:
  ComObjectRoot() = default;
  ComObjectRoot(const ComObjectRoot&) = delete;
  ComObjectRoot& operator=(const ComObjectRoot&) = delete;

  std::atomic<ULONG> ref_count_{0};
  IUnknown* outer_ = nullptr;  // Constant after construction; set for aggregated objects.

  template <class T>
  friend class ComObject;
  template <class T>
  friend class ComAggObject;
};

#define HALCY_BEGIN_INTERFACES(Class)                          \
  HRESULT QueryInterface(REFIID iid, void** out) override = 0; \
  ULONG AddRef() override = 0;                                 \
  ULONG Release() override = 0;                                \
  static const ::halcy::InterfaceEntry* GetInterfaceTable() {  \
    static const ::halcy::InterfaceEntry kTable[] = {
#define HALCY_INTERFACE(Class, Iface) {&Iface::kIID, &::halcy::CastToInterface<Class, Iface>},
// An extra IID answered at the pointer of `Iface` (a base interface of it).
#define HALCY_INTERFACE_IID(Class, iid, Iface) {&(iid), &::halcy::CastToInterface<Class, Iface>},
#define HALCY_END_INTERFACES() \
  { nullptr, nullptr }         \
  }                            \
  ;                            \
  return kTable;               \
  }

// A stand-alone object: counts its own references and the module lock.
template <class T>
class ComObject final : public T {
 public:
  template <class... Args>
  explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {
    ThisComModule().Lock();
  }
  ~ComObject() { ThisComModule().Unlock(); }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    return QueryInterfaceTable(static_cast<T*>(this), T::GetInterfaceTable(), iid, out);
  }
  ULONG AddRef() override { return this->ref_count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG n = this->ref_count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) {
      this->FinalRelease();
      delete this;
    }
    return n;
  }
};

// An aggregated object: its own non-delegating IUnknown, its interfaces delegate to the outer.
template <class T>
class ComAggObject final : public IUnknown {
 public:
  explicit ComAggObject(IUnknown* outer) {
    contained_.outer_ = outer;
    ThisComModule().Lock();
  }
  ~ComAggObject() { ThisComModule().Unlock(); }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IUnknown::kIID) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return QueryInterfaceTable(static_cast<T*>(&contained_), T::GetInterfaceTable(), iid, out);
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) {
      contained_.FinalRelease();
      delete this;
    }
    return n;
  }
  T* Inner() { return &contained_; }

 private:
  class Contained final : public T {
   public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
      return this->outer_->QueryInterface(iid, out);
    }
    ULONG AddRef() override { return this->outer_->AddRef(); }
    ULONG Release() override { return this->outer_->Release(); }
  };
  Contained contained_;
  std::atomic<ULONG> refs_{0};
};

// Creates an object of class T (aggregated when `outer` is given, which then requires
// iid == IUnknown) and returns the interface `iid` through `out`. FinalConstruct runs with
// the count held at 1, so the object may hand itself out during construction.
template <class T, class... Args>
HRESULT CreateComInstance(IUnknown* outer, REFIID iid, void** out, Args&&... args) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) {
    if (iid != IUnknown::kIID) return CLASS_E_NOAGGREGATION;
    auto* agg = new (std::nothrow) ComAggObject<T>(outer);
    if (!agg) return E_OUTOFMEMORY;
    agg->AddRef();
    HRESULT hr = agg->Inner()->FinalConstruct();
    if (SUCCEEDED(hr)) hr = agg->QueryInterface(iid, out);
    agg->Release();
    return hr;
  }
  auto* obj = new (std::nothrow) ComObject<T>(std::forward<Args>(args)...);
  if (!obj) return E_OUTOFMEMORY;
  obj->AddRef();
  HRESULT hr = obj->FinalConstruct();
  if (SUCCEEDED(hr)) hr = obj->QueryInterface(iid, out);
  obj->Release();
  return hr;
}

// Creates a module-internal object and returns it as a counted pointer to the class itself
// (null when FinalConstruct fails). For classes that the module builds by hand.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  auto* obj = new ComObject<T>(std::forward<Args>(args)...);
  ComPtr<T> ref(obj);
  if (FAILED(obj->FinalConstruct())) return nullptr;
  return ref;
}

// IProvideClassInfo for classes without a type library: the interface is answered, and
// GetClassInfo reports that no type information ships with the module.
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4A);
class ProvideClassInfoNoTypeLib : public IProvideClassInfo {
 public:
  HRESULT GetClassInfo(IUnknown** type_info) override {
    if (!type_info) return E_POINTER;
    *type_info = nullptr;
    return TYPE_E_CANTLOADLIBRARY;
  }
};

}  // namespace halcy
