// IExtCmdHost: the command-handler interface that the extension manager offers every command
// from an extension or the front end to, host by host in registration order, until one takes
// it. The common command host and the menu command host implement it; other modules may add
// hosts of their own.
//
// Free-threaded: the manager calls HandleCommand on its own thread; a host that needs another
// thread posts the work there and still answers at once.
#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

struct IExtCmdHost : IUnknown {
  static constexpr IID kIID = kIID_IExtCmdHost;
  // 3: S_OK when the command was taken; E_NOTIMPL when it is not this host's. Any other
  // failure also lets the manager offer the command to the next host. `request_context` is
  // opaque and handed back unchanged with a reply.
  virtual HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                LONG request_context) = 0;
};

}  // namespace Logic
