// CCoExtMenuCmdHost: the menu command host as a COM object. It answers IExtMenuCmdHost (and
// its base, the popup menu's selection callback, at the same pointer), IExtCmdHost (commands)
// and IProvideClassInfo, and forwards every call to its implementation, held by value.
//
// Threads as the implementation's (see ext_menu_cmd_host_impl.h).
#pragma once

#include "command/ext_cmd_host.h"
#include "command/ext_menu_cmd_host.h"
#include "command/ext_menu_cmd_host_impl.h"
#include "platform/com_object.h"

namespace Logic {

class CCoExtMenuCmdHost : public halcy::ComObjectRoot,
                          public IExtMenuCmdHost,
                          public IExtCmdHost,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtMenuCmdHost)
  HALCY_INTERFACE(CCoExtMenuCmdHost, IExtMenuCmdHost)
  HALCY_INTERFACE(CCoExtMenuCmdHost, IExtMenuCmdHostBase)
  HALCY_INTERFACE(CCoExtMenuCmdHost, IExtCmdHost)
  HALCY_INTERFACE(CCoExtMenuCmdHost, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CCoExtMenuCmdHost() : impl_(static_cast<IExtMenuCmdHost*>(this)) {}

  HRESULT OnSelectMenu(LONG menu_id, LONG menu_event_id) override {
    return impl_.OnSelectMenu(menu_id, menu_event_id);
  }
  HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) override {
    return impl_.SetExtensionMgr(manager);
  }
  HRESULT DetachExtensionMgr() override { return S_OK; }
  HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                        LONG request_context) override {
    return impl_.HandleCommand(extension_id, command, arguments, request_context);
  }

 private:
  CExtMenuCmdHostImpl impl_;
};

}  // namespace Logic
