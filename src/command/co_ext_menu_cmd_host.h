#pragma once

#include "command/ext_cmd_host.h"
#include "command/ext_menu_cmd_host.h"
#include "platform/com_object.h"

namespace Logic {

// CCoExtMenuCmdHost: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the menu command host.
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

  // The menu commands (context-menu and popup-menu handling) are still missing.
  HRESULT HandleCommand(BSTR, BSTR, BSTR, LONG) override { return E_NOTIMPL; }
};

}  // namespace Logic
