#pragma once

#include "command/ext_cmd_host.h"
#include "command/ext_common_cmd_host.h"
#include "platform/com_object.h"

namespace Logic {

// CCoExtCommonCmdHost: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of command dispatch of the common command host.
class CCoExtCommonCmdHost : public halcy::ComObjectRoot,
                            public IExtCommonCmdHost,
                            public IExtCmdHost,
                            public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtCommonCmdHost)
  HALCY_INTERFACE(CCoExtCommonCmdHost, IExtCommonCmdHost)
  HALCY_INTERFACE(CCoExtCommonCmdHost, IExtCmdHost)
  HALCY_INTERFACE(CCoExtCommonCmdHost, IProvideClassInfo)
  HALCY_END_INTERFACES()

  // Command dispatch (the two command tables and their handlers) is still missing.
  HRESULT SetExtensionMgr(CExtensionMgrImpl*) override { return E_NOTIMPL; }
  HRESULT DetachExtensionMgr() override { return S_OK; }
  HRESULT HandleCommand(BSTR, BSTR, BSTR, LONG) override { return E_NOTIMPL; }
};

}  // namespace Logic
