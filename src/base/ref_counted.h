// Reference counting for objects shared between threads, and a scoped reference to them.
//
//   class CContext : public base::CRefCountedThreadSafe<CContext> { ... };
//   base::RefPtr<CContext> context(new CContext());   // count 1
//   Thread::NewTask(context.get(), &CContext::Run, u"&CContext::Run");  // the task adds one
//
// The count starts at 0; the first RefPtr (or AddRef) takes it to 1, and the Release that
// takes it back to 0 deletes the object as a T. A class that wants its destructor private
// befriends base::CRefCountedThreadSafe<T>.
//
// Thread-safe: AddRef and Release may be called from any thread (atomic count); a RefPtr
// itself is not shared between threads without a lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace base {

template <class T>
class CRefCountedThreadSafe {
 public:
  CRefCountedThreadSafe(const CRefCountedThreadSafe&) = delete;
  CRefCountedThreadSafe& operator=(const CRefCountedThreadSafe&) = delete;

  void AddRef() const { ref_count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete static_cast<const T*>(this);
    }
  }
  bool HasOneRef() const { return ref_count_.load(std::memory_order_acquire) == 1; }

 protected:
  CRefCountedThreadSafe() = default;
  ~CRefCountedThreadSafe() = default;

 private:
  mutable std::atomic<int> ref_count_{0};
};

// Holds one reference on a T that has AddRef and Release (a CRefCountedThreadSafe class or a
// COM object).
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): mirrors a raw null pointer
  explicit RefPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  RefPtr(const RefPtr& other) : RefPtr(other.p_) {}
  RefPtr(RefPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~RefPtr() {
    if (p_) p_->Release();
  }
  RefPtr& operator=(RefPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Adopts a reference the caller already holds (from an out-parameter that transferred one).
  static RefPtr Adopt(T* p) {
    RefPtr r;
    r.p_ = p;
    return r;
  }
  // Gives the reference away to the caller.
  T* release() { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

}  // namespace base
