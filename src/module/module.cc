#include "module/module.h"

#include <atomic>
#include <mutex>
#include <new>

#include "command/co_ext_common_cmd_host.h"
#include "command/co_ext_menu_cmd_host.h"
#include "command/extension_context_menu_mgr.h"
#include "command/extension_notify_mgr.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "module/class_ids.h"
#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/com_object.h"
#include "platform/win32.h"
#include "update/carry_info.h"
#include "update/extension_app_guild.h"
#include "update/extension_tracker.h"
#include "update/net_file_fetcher.h"

HALCY_DEFINE_COM_MODULE()

namespace Logic {
namespace {

using CreateFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

template <class T>
HRESULT Create(IUnknown* outer, REFIID iid, void** out) {
  return halcy::CreateComInstance<T>(outer, iid, out);
}

// Indexed like kClassTable.
constexpr CreateFn kCreators[kClassCount] = {
    &Create<CCoExtCommonCmdHost>, &Create<CExtensionTracker>,          &Create<CCoExtensionAgent>,
    &Create<CExtensionAppGuild>,  &Create<CCoExtensionContextMenuMgr>, &Create<CCoExtensionMgr>,
    &Create<CExtensionNotifyMgr>, &Create<CCoExtMenuCmdHost>,          &Create<CCoPermissionMgr>,
    &Create<CCoPermissionSet>,    &Create<CCoNetFileFetcher>,          &Create<CCoCarryInfo>,
};

// A class factory cached by the module. The cache's own reference does not lock the module;
// every further reference does, so a browser holding a factory keeps the module loaded.
class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(CreateFn create) : create_(create) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IUnknown::kIID || iid == IClassFactory::kIID) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override {
    ULONG n = refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n == 2) halcy::ThisComModule().Lock();
    return n;
  }
  ULONG Release() override {
    ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 1) halcy::ThisComModule().Unlock();
    if (n == 0) delete this;
    return n;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return create_(outer, iid, out);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      halcy::ThisComModule().Lock();
    } else {
      halcy::ThisComModule().Unlock();
    }
    return S_OK;
  }

 private:
  const CreateFn create_;
  std::atomic<ULONG> refs_{1};  // the cache's reference
};

// The module object: built by static construction when the library loads.
class CPlexoreModule {
 public:
  CPlexoreModule() = default;
  ~CPlexoreModule() {
    for (auto& slot : factories_) {
      if (CClassFactory* f = slot.exchange(nullptr)) f->Release();
    }
  }

  bool start_failed() const { return start_failed_; }

  // REQUIRES: 0 <= index < kClassCount. Returns the cached factory without a new reference.
  CClassFactory* Factory(int index) {
    CClassFactory* f = factories_[index].load(std::memory_order_acquire);
    if (f) return f;
    std::lock_guard<std::mutex> lock(mutex_);
    f = factories_[index].load(std::memory_order_relaxed);
    if (!f) {
      f = new (std::nothrow) CClassFactory(kCreators[index]);
      factories_[index].store(f, std::memory_order_release);
    }
    return f;
  }

 private:
  // std::mutex cannot fail to initialise; the flag stays for DllMain's contract.
  bool start_failed_ = false;
  std::mutex mutex_;
  std::atomic<CClassFactory*> factories_[kClassCount] = {};
};

CPlexoreModule g_module;

}  // namespace

HRESULT CreateClassInstance(int index, IUnknown* outer, REFIID iid, void** out) {
  if (index < 0 || index >= kClassCount) return CLASS_E_CLASSNOTAVAILABLE;
  return kCreators[index](outer, iid, out);
}

std::u16string ModulePath() {
  char16_t buffer[4096];
  DWORD n = GetModuleFileNameForAddress(reinterpret_cast<const void*>(&ModulePath), buffer,
                                        sizeof(buffer) / sizeof(buffer[0]));
  return std::u16string(buffer, n);
}

}  // namespace Logic

BOOL DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH && Logic::g_module.start_failed()) return FALSE;
  return TRUE;
}

HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  for (int i = 0; i < Logic::kClassCount; ++i) {
    if (Logic::kClassTable[i].clsid == clsid) {
      Logic::CClassFactory* factory = Logic::g_module.Factory(i);
      if (!factory) return E_OUTOFMEMORY;
      return factory->QueryInterface(iid, out);
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return halcy::ThisComModule().GetLockCount() == 0 ? S_OK : S_FALSE; }
