// COM without Windows: IUnknown, the class-factory interfaces and ComPtr.
// An interface is an abstract class derived from IUnknown whose methods appear in the system's
// slot order (slot 3 is the first method after IUnknown) and which declares `kIID`.
// Reference counts are the objects' own business (see com_object.h); ComPtr is not
// thread-safe itself, but the objects it points at may be shared between threads.
#pragma once

#include <utility>

#include "platform/win_types.h"

struct IUnknown {
  static constexpr IID kIID = MakeGuid("00000000-0000-0000-C000-000000000046");
  virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects are destroyed by Release, never through an interface
};

struct IClassFactory : IUnknown {
  static constexpr IID kIID = MakeGuid("00000001-0000-0000-C000-000000000046");
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};

// Type information is not modelled here; GetClassInfo hands out the class's CLSID-bearing
// information object, which answers IUnknown only.
struct IProvideClassInfo : IUnknown {
  static constexpr IID kIID = MakeGuid("B196B283-BAB4-101A-B69C-00AA00341D07");
  virtual HRESULT GetClassInfo(IUnknown** type_info) = 0;
};

// A counted reference. `Attach` adopts a reference, `Detach` gives it away.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): mirrors a raw null pointer
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) : ComPtr(static_cast<T*>(other.Get())) {}  // NOLINT: upcast
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases the current reference and returns the slot for an out-parameter.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  void** ReleaseAndGetVoidAddress() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // Hands out an additional reference through an out-parameter (S_OK, or E_POINTER for null).
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }

  // QueryInterface into another smart pointer.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(U::kIID, out->ReleaseAndGetVoidAddress());
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// Adopts a reference that a factory or getter already counted for the caller.
template <class T>
ComPtr<T> AdoptRef(T* p) {
  ComPtr<T> r;
  r.Attach(p);
  return r;
}
