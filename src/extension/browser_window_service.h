// The browser-window service {2DD606BC-4831-4B0E-84B1-392A32D384B8} as the extension manager
// uses it: the list of the browser's frames, each of which may take keyboard accelerators, and
// the closing of a tab (the tabs themselves are walked through IBrowserFrameMgr). An accelerator is
// registered per frame as a hot-key word (accelerator.h) together with a command object that names
// the extension; when the user presses the keys the browser asks the command for the extension and
// raises the accelerator notification (IExtensionNotifyMgr slot 18) for it.
//
//   service->GetFrameCount(&count);
//   service->GetFrame(i, &frame);                  // IUnknown of the frame
//   frame->QueryInterface(IFrameAccelerators::kIID, &accelerators);
//   accelerators->RegisterAccelerator(0x0374, command);   // Ctrl+Shift+F5
//
// The service and its frames belong to the browser's UI thread; the module calls them there.
#pragma once

#include "platform/com.h"

namespace Logic {

// The command object of one accelerator: which extension it belongs to.
struct IAcceleratorCommand : IUnknown {
  static constexpr IID kIID = MakeGuid("5E1F2A9C-7B3D-4C62-8E05-A19D7F3B6C21");
  // 3
  virtual HRESULT GetExtensionId(BSTR* extension_id) = 0;
};

// A frame's accelerator table; a frame that takes no accelerators does not answer it.
struct IFrameAccelerators : IUnknown {
  static constexpr IID kIID = MakeGuid("5E1F2A9D-7B3D-4C62-8E05-A19D7F3B6C21");
  // 3: `hotkey` low byte the virtual-key code, high byte the modifiers (1 SHIFT, 2 CTRL,
  // 4 ALT); `command` answers IAcceleratorCommand. A second registration for the same
  // extension replaces the first.
  virtual HRESULT RegisterAccelerator(WORD hotkey, IUnknown* command) = 0;
};

struct IBrowserWindowService : IUnknown {
  static constexpr IID kIID = MakeGuid("2DD606BC-4831-4B0E-84B1-392A32D384B8");
  // 3, 4: the browser's top-level frames; E_INVALIDARG outside 0..count-1.
  virtual HRESULT GetFrameCount(LONG* count) = 0;
  virtual HRESULT GetFrame(LONG index, IUnknown** frame) = 0;
  // 5: closes the tab `tab_id`; S_FALSE when there is none.
  virtual HRESULT CloseTab(LONG tab_id) = 0;
};

}  // namespace Logic
