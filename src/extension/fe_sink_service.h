// IFrontEndSinkService: the browser's web front end as a message receiver. The front end
// registers sinks with the extension manager by two numbers and a key (IExtensionMgr slots 19,
// 26 and 27); the manager answers a sink by handing the message to this service with the
// sink's two numbers, on the thread that registered the sink.
//
// Free-threaded: looked up for each delivery; the manager calls it on the sink's owner thread.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IFrontEndSinkService : IUnknown {
  static constexpr IID kIID = MakeGuid("F5D9231F-70FC-4E3E-BDCD-AAAB12906319");
  // 3: delivers `command` with `arguments` from extension `extension_id` to the front-end sink
  // identified by (`value1`, `value2`).
  virtual HRESULT DeliverToFrontEnd(LONG value1, LONG value2, BSTR extension_id, BSTR command,
                                    BSTR arguments) = 0;
};

}  // namespace Logic
