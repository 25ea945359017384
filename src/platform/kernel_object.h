// Kernel objects behind HANDLEs: the process-wide handle table, CloseHandle, and the hooks a
// handle type uses to complete its overlapped operations on an I/O completion port.
//
// A HANDLE is an opaque number handed out by the table (never reused within a process), so a
// stale or foreign handle fails cleanly with ERROR_INVALID_HANDLE instead of touching freed
// memory. Each object is reference counted: the table holds one reference per open handle, and
// every call that works on a handle holds its own reference for the length of the call, so
// closing a handle while another thread waits on it is safe.
//
//   halcy::KernelRef<halcy::CompletionPort> port = halcy::LookUpHandle<halcy::CompletionPort>(h);
//   if (!port) return FALSE;  // last error is ERROR_INVALID_HANDLE
//
// A handle type whose overlapped operations complete on a port (a pipe, later) derives from
// KernelObject, lets CreateIoCompletionPort associate it, and reports each finished operation
// with PostCompletion(); the packet carries the association's key.
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/win_types.h"

using ULONG_PTR = uintptr_t;

// The block that identifies one overlapped operation. The platform writes the operation's
// error into `Internal` and its byte count into `InternalHigh` when it completes.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    void* Pointer;
  } u;
  HANDLE hEvent;
};

// Wait results and time-outs shared by every waitable handle type.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD ERROR_ABANDONED_WAIT_0 = 735;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Closes a handle from the table; FALSE with ERROR_INVALID_HANDLE for anything else.
BOOL CloseHandle(HANDLE handle);

namespace halcy {

class CompletionPort;

// Base of every object a HANDLE names.
class KernelObject {
 public:
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Binds this object's completions to `port` with `key`. Fails when already bound.
  bool AssociateCompletionPort(CompletionPort* port, ULONG_PTR key);
  // The bound port (with a reference for the caller) and key; null when not bound.
  CompletionPort* AcquireCompletionPort(ULONG_PTR* key);

 protected:
  KernelObject() = default;
  virtual ~KernelObject();

  // Runs once, when the handle naming the object is closed; references held by calls still
  // in progress keep the object alive past it. A port wakes its waiters here.
  virtual void OnHandleClosed() {}

 private:
  friend BOOL(::CloseHandle)(HANDLE handle);

  std::atomic<int> refs_{1};
  std::mutex port_mutex_;
  CompletionPort* port_ = nullptr;  // Guarded by port_mutex_; one reference held.
  ULONG_PTR key_ = 0;               // Guarded by port_mutex_.
};

// A counted reference to a kernel object of type T.
template <class T>
class KernelRef {
 public:
  KernelRef() = default;
  // Adopts a reference that the caller already holds.
  explicit KernelRef(T* adopted) : p_(adopted) {}
  KernelRef(KernelRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  KernelRef& operator=(KernelRef&& other) noexcept {
    KernelRef(std::move(other)).Swap(*this);
    return *this;
  }
  KernelRef(const KernelRef&) = delete;
  KernelRef& operator=(const KernelRef&) = delete;
  ~KernelRef() {
    if (p_) p_->Release();
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T* release() { return std::exchange(p_, nullptr); }
  void Swap(KernelRef& other) noexcept { std::swap(p_, other.p_); }

 private:
  T* p_ = nullptr;
};

// Enters `object` into the handle table, taking over the caller's reference; returns the new
// handle.
HANDLE InsertHandle(KernelObject* object);

// The object `handle` names, with a reference for the caller; null (and ERROR_INVALID_HANDLE
// as the last error) when the handle is not open.
KernelRef<KernelObject> LookUpKernelObject(HANDLE handle);

// As above, and null (ERROR_INVALID_HANDLE) when the object is not a T.
template <class T>
KernelRef<T> LookUpHandle(HANDLE handle);

// Completes one overlapped operation of `object` on its bound port: writes `error` and
// `bytes` into `overlapped` and queues a packet with the association's key. False when the
// object is bound to no port (nothing is queued then).
bool PostCompletion(KernelObject* object, DWORD bytes, OVERLAPPED* overlapped, DWORD error);

// The number of open handles, for leak checks in tests.
size_t OpenHandleCountForTesting();

// ---- implementation details below ----

void SetInvalidHandleError();

template <class T>
KernelRef<T> LookUpHandle(HANDLE handle) {
  KernelRef<KernelObject> object = LookUpKernelObject(handle);
  T* typed = dynamic_cast<T*>(object.get());
  if (!typed) {
    SetInvalidHandleError();
    return KernelRef<T>();
  }
  object.release();
  return KernelRef<T>(typed);
}

}  // namespace halcy
