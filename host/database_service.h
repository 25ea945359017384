// The browser's database service {77E3516B-...}: hands out store factories of kind 1, whose
// OpenStore opens the extension store "7CF27C53-9B5D-4314-BD5A-13CC4C1A1020" at the path that
// a database parameter object {43011CA5-...} gives relative to the system data directory
// (GetDataDirectory kind 1; "\" in the relative path separates directories).
//
// One store per file and process: opening the same path again hands out the store opened
// first, which the service keeps until it goes, so two callers never hold two diverging copies
// of one database.
//
// Free-threaded: every object here may be called from any thread; each call is atomic.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "host/extension_store.h"
#include "module/extension_store.h"
#include "platform/com_object.h"

namespace host {

// The database parameter object, creatable by IStoreParams::kIID through the object factory.
class CStoreParams : public halcy::ComObjectRoot, public Logic::IStoreParams {
 public:
  HALCY_BEGIN_INTERFACES(CStoreParams)
  HALCY_INTERFACE(CStoreParams, Logic::IStoreParams)
  HALCY_END_INTERFACES()

  HRESULT SetRelativePath(LPCWSTR path) override;
  HRESULT GetRelativePath(BSTR* path) override;

  // The factory function registered with halcy::SetCreatableClass.
  static HRESULT Create(REFIID iid, void** out);

 private:
  std::mutex lock_;
  std::u16string path_;  // Guarded by lock_
};

class CDatabaseService : public halcy::ComObjectRoot, public Logic::IDatabaseService {
 public:
  HALCY_BEGIN_INTERFACES(CDatabaseService)
  HALCY_INTERFACE(CDatabaseService, Logic::IDatabaseService)
  HALCY_END_INTERFACES()

  // Kind 1 only; E_INVALIDARG for any other.
  HRESULT CreateStoreFactory(LONG kind, LONG reserved1, LONG reserved2,
                             Logic::IStoreFactory** factory) override;

  // The store at the absolute `path`, opened on first use. Used by the store factory.
  HRESULT OpenStoreAt(const std::u16string& path, Logic::IExtensionStore** store);

 private:
  std::mutex lock_;
  std::map<std::u16string, ComPtr<CExtensionStore>> stores_;  // Guarded by lock_
};

}  // namespace host
