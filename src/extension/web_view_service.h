// The browser's web-view service as the extension manager uses it to run background pages:
// the service hands out view factories, a factory hands out the web-view host, and the host
// creates hidden cores. A core is navigated to an extension's background page, reports two
// values about itself and its routing handle, and answers IExtBackgroundCore (bk_core.h) for
// the messages the manager delivers to the page.
//
//   ComPtr<IExtWebViewService> service;   // the service {55316B4B-...}
//   service->GetViewFactory(0, &factory);
//   factory->GetWebViewHost(&host);
//   host->CreateCore(1, 0, 0, &core);
//   core->Navigate(u"hcbrowser://localextensions/<id>/background.html");
//
// Everything here is called on the UI thread, where cores are created and live.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtWebViewCore : IUnknown {
  static constexpr IID kIID = MakeGuid("0B4C7E3A-2F61-4D8E-9A55-7C1E62D0B9A4");
  // 3: loads `address` into the hidden view.
  virtual HRESULT Navigate(BSTR address) = 0;
  // 4: the two values the core reports about itself.
  virtual HRESULT GetReportedValues(LONG* value1, LONG* value2) = 0;
  // 5: the handle by which the browser routes messages to the core.
  virtual HRESULT GetRoutingHandle(LONG* handle) = 0;
};

struct IExtWebViewHost : IUnknown {
  static constexpr IID kIID = MakeGuid("6E2D91C4-8B37-4A0F-B1D2-3F5A4C8E7D16");
  // 3: a new hidden core; the manager asks with the flags (1, 0, 0).
  virtual HRESULT CreateCore(LONG flags1, LONG flags2, LONG flags3, IExtWebViewCore** core) = 0;
};

struct IExtWebViewFactory : IUnknown {
  static constexpr IID kIID = MakeGuid("A3F08D27-5C94-4E61-8B0E-D71C2A6F4B59");
  // 3: the host that creates cores.
  virtual HRESULT GetWebViewHost(IExtWebViewHost** host) = 0;
};

struct IExtWebViewService : IUnknown {
  static constexpr IID kIID = MakeGuid("55316B4B-69BD-4626-AA8E-01CA2C8F048C");
  // 3: the view factory at `index` (the manager uses the first, 0).
  virtual HRESULT GetViewFactory(LONG index, IExtWebViewFactory** factory) = 0;
};

}  // namespace Logic
