// IExtensionProcessProbe: lets the browser learn that the extension process (the child that
// hosts native extension libraries) is on its channel. Messages sent before that are queued by
// the module and written once the child says hello; a caller that must know they have been
// handled (plexore-host's scenario player settling before it reads the output) waits here
// first, then sends a synchronous message, whose reply comes after everything queued before it.
//
//   ComPtr<IExtensionProcessProbe> probe;
//   mgr.As(&probe);
//   probe->WaitForExtensionProcess(30000);  // S_OK: on the channel
//
// Free-threaded; never call it on the extension-manager thread (the hello is handled there).
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtensionProcessProbe : IUnknown {
  static constexpr IID kIID = MakeGuid("5D0B7C3E-2A61-4F89-B7E4-0C93A18F62D5");
  // 3: S_OK once the launched extension process is on the channel; S_FALSE when it ended
  // before, was never started, or `milliseconds` passed; E_FAIL when the manager has no
  // extension-process host (not started, or given up after a repeated crash).
  virtual HRESULT WaitForExtensionProcess(LONG milliseconds) = 0;
};

}  // namespace Logic
