// The browser's description of one extension's UI extension points: an object that the module
// creates through the object factory (Util::Com::CreateObjectByIID with this IID), fills with the
// extension id and one entry per point, and hands to the UI extension-point manager.
//
// The object is the browser's; its thread-safety is the browser's business. The module fills
// one description on one thread and then gives it away.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IUIExtDescription : IUnknown {
  static constexpr IID kIID = MakeGuid("0B4EE23B-44A7-41C0-9183-DD8D2F422960");
  // 3: the extension the description belongs to.
  virtual HRESULT SetExtensionId(BSTR id) = 0;
  // 4: one extension point: its identifier (ui_ext_points.h) and its JSON text.
  virtual HRESULT AddExtensionPoint(BSTR point_id, BSTR json) = 0;
};

}  // namespace Logic
