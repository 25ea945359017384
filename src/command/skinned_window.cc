#include "command/skinned_window.h"

#include "command/browser_model.h"
#include "command/browser_windows.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "thread/service_lookup.h"

namespace Logic {

HRESULT ShowSkinnedWindow(const std::u16string& extension_id, const std::u16string& window_id,
                          const std::u16string& xml_file, LONG frame_id, LONG x, LONG y) {
  HANDLE owner = nullptr;
  ComPtr<IBrowserFrameMgr> frames = Thread::GetServiceOrLog<IBrowserFrameMgr>(u"IBrowserFrameMgr");
  ComPtr<IBrowserFrame> frame;
  if (frames &&
      frames->GetFrameById(frame_id, kBrowserItemTopLevelFrame, frame.ReleaseAndGetAddressOf()) ==
          S_OK &&
      frame) {
    frame->GetWindowHandle(&owner);
  }
  ComPtr<ISkinWindow> window;
  if (FAILED(Util::Com::CreateObjectByIID(ISkinWindow::kIID, window.ReleaseAndGetVoidAddress())) ||
      !window) {
    return E_FAIL;
  }
  // The skin's location is "extskin:\<extension id>\<xml file>".
  halcy::ScopedBstr skin(u"extskin:\\" + extension_id + u"\\" + xml_file);
  halcy::ScopedBstr id(window_id), extension(extension_id);
  HRESULT hr = window->InitSkinWindow(skin.Get(), id.Get(), extension.Get());
  if (FAILED(hr)) return hr;
  // 4 and -1 are the browser's own values for an extension's window.
  return window->ShowSkinWindow(owner, x, y, 4, -1);
}

}  // namespace Logic
