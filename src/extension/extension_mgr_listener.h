// IExtensionMgrListener: what the browser registers with the extension manager to hear about
// start-up and the installed set. The manager calls each listener on the thread that owns it
// (the thread recorded when the listener was added): at once when the event is raised there,
// otherwise as a task named "func" posted to that thread.
//
// Implementations are the browser's; a listener is only ever called on its owner thread.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtensionMgrListener : IUnknown {
  static constexpr IID kIID = MakeGuid("3E8C2A71-5B64-4F0D-9A1E-7C2D8B4F6A95");
  // 3: start-up has finished (sent once per completed switch user).
  virtual HRESULT OnFirstReady() = 0;
  // 4: the installed extension ids, joined by "," ("" when none is installed).
  virtual HRESULT OnLocalExtensionList(BSTR extension_ids) = 0;
  // 5: not used by the manager.
  virtual HRESULT ReservedSlot5() = 0;
  // 6: the extension-DLL process is back (true) after a crash.
  virtual HRESULT OnDllProcessState(BOOL running) = 0;
  // 7: an extension was enabled (1) or disabled (0).
  virtual HRESULT OnExtensionStateChanged(BSTR extension_id, LONG state) = 0;
};

}  // namespace Logic
