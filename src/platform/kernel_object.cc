#include "platform/kernel_object.h"

#include <unordered_map>

#include "platform/iocp.h"
#include "platform/win32.h"

namespace halcy {
namespace {

// Handles are numbers, never addresses: a closed handle is never handed out again, so a stale
// one cannot reach a newer object. They step by 4 as Windows handles do and stay clear of
// null and INVALID_HANDLE_VALUE.
class HandleTable {
 public:
  HANDLE Insert(KernelObject* object) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ += 4;
    objects_.emplace(next_, object);
    return reinterpret_cast<HANDLE>(next_);
  }

  KernelObject* LookUp(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    it->second->AddRef();
    return it->second;
  }

  // Takes the table's reference out with the entry.
  KernelObject* Remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    KernelObject* object = it->second;
    objects_.erase(it);
    return object;
  }

  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.size();
  }

 private:
  std::mutex mutex_;
  uintptr_t next_ = 0x1000;                               // Guarded by mutex_
  std::unordered_map<uintptr_t, KernelObject*> objects_;  // Guarded by mutex_
};

// Never destroyed: handles may still be closed from static destructors of other libraries.
HandleTable& Table() {
  static auto* table = new HandleTable();
  return *table;
}

}  // namespace

KernelObject::~KernelObject() {
  if (port_) port_->Release();
}

bool KernelObject::AssociateCompletionPort(CompletionPort* port, ULONG_PTR key) {
  std::lock_guard<std::mutex> lock(port_mutex_);
  if (port_ || !port) return false;
  port->AddRef();
  port_ = port;
  key_ = key;
  return true;
}

CompletionPort* KernelObject::AcquireCompletionPort(ULONG_PTR* key) {
  std::lock_guard<std::mutex> lock(port_mutex_);
  if (port_) port_->AddRef();
  if (key) *key = key_;
  return port_;
}

HANDLE InsertHandle(KernelObject* object) { return Table().Insert(object); }

KernelRef<KernelObject> LookUpKernelObject(HANDLE handle) {
  KernelObject* object = Table().LookUp(handle);
  if (!object) SetInvalidHandleError();
  return KernelRef<KernelObject>(object);
}

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

bool PostCompletion(KernelObject* object, DWORD bytes, OVERLAPPED* overlapped, DWORD error) {
  ULONG_PTR key = 0;
  KernelRef<CompletionPort> port(object->AcquireCompletionPort(&key));
  if (!port) return false;
  if (overlapped) {
    overlapped->Internal = error;
    overlapped->InternalHigh = bytes;
  }
  port->Post({bytes, key, overlapped, error});
  return true;
}

size_t OpenHandleCountForTesting() { return Table().Size(); }

}  // namespace halcy

BOOL CloseHandle(HANDLE handle) {
  halcy::KernelObject* object = halcy::Table().Remove(handle);
  if (!object) {
    halcy::SetInvalidHandleError();
    return FALSE;
  }
  object->OnHandleClosed();
  object->Release();
  return TRUE;
}
