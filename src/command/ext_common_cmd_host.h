// IExtCommonCmdHost: how the extension manager wires itself into the common command host.
//
// Free-threaded.
#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

class CExtensionMgrImpl;

struct IExtCommonCmdHost : IUnknown {
  static constexpr IID kIID = kIID_IExtCommonCmdHost;
  // 3: stores the manager (no reference is taken: the manager owns the host and outlives it).
  virtual HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) = 0;
  // 4: does nothing.
  virtual HRESULT DetachExtensionMgr() = 0;
};

}  // namespace Logic
