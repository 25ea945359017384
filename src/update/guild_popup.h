// The install guide's message pop-up, a service of the browser found through the object
// factory (`Util::Com::GetService(IGuildPopup::kIID, ...)`). The guide shows its progress and
// result messages there and opens a new browser window through it.
//
//   popup->ShowMessage(text);                    // a message for the user, replacing the last
//   popup->ShowProgress(u"42");                  // the running download's figure, in percent
//   popup->OpenWindow(u"hcbrowser://newtab/");
//
// Called on the UI thread only.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IGuildPopup : IUnknown {
  static constexpr IID kIID = MakeGuid("AB9423F8-B208-48B9-A618-D14E0C53EA74");
  virtual HRESULT ShowMessage(BSTR text) = 0;
  virtual HRESULT ShowProgress(BSTR figure) = 0;
  virtual HRESULT OpenWindow(BSTR url) = 0;
};

}  // namespace Logic
