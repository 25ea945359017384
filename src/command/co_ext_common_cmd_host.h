// CCoExtCommonCmdHost: the common command host as a COM object. It answers IExtCommonCmdHost
// (wiring by the extension manager), IExtCmdHost (commands) and IProvideClassInfo, and holds
// its implementation, CExtCommonCmdHostImpl, by value; every call is forwarded to it.
//
// Free-threaded, as the implementation is (see ext_common_cmd_host_impl.h).
#pragma once

#include "command/ext_cmd_host.h"
#include "command/ext_common_cmd_host.h"
#include "command/ext_common_cmd_host_impl.h"
#include "platform/com_object.h"

namespace Logic {

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

  CCoExtCommonCmdHost() : impl_(static_cast<IExtCommonCmdHost*>(this)) {}

  HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) override {
    return impl_.SetExtensionMgr(manager);
  }
  HRESULT DetachExtensionMgr() override { return impl_.DetachExtensionMgr(); }
  HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                        LONG request_context) override {
    return impl_.HandleCommand(extension_id, command, arguments, request_context);
  }

  CExtCommonCmdHostImpl& impl() { return impl_; }

 private:
  CExtCommonCmdHostImpl impl_;
};

}  // namespace Logic
