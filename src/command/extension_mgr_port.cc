#include "command/extension_mgr_port.h"

#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/ui_ext_pt_mgr.h"
#include "platform/bstr.h"

namespace Logic {
namespace {

class ManagerPort final : public ExtensionMgrPort {
 public:
  explicit ManagerPort(CExtensionMgrImpl* manager) : manager_(manager) {}

  HRESULT SendToExtension(const std::u16string& extension_id, const std::u16string& command,
                          const std::u16string& arguments, LONG request_context) override {
    return manager_->PostToExtension(extension_id, command, arguments, request_context);
  }

  // The front-end sink is found by the extension and the context's text; the three numbers
  // only identify the request on the front end's side.
  HRESULT SendResponseToFrontEnd(const std::u16string& extension_id, const std::u16string& result,
                                 LONG /*number1*/, const std::u16string& text, LONG /*number2*/,
                                 LONG /*number3*/) override {
    return manager_->SendResponseToFE(extension_id, text, u"extension.response.fe.toLibAsync",
                                      result);
  }

  std::u16string BrowserVersion() override { return manager_->GetBrowserVersion(); }

  std::u16string ExtensionVersion(const std::u16string& extension_id) override {
    halcy::ScopedBstr id(extension_id);
    ComPtr<IExtensionAgent> agent;
    manager_->GetExtensionAgent(id.Get(), agent.ReleaseAndGetAddressOf());
    return agent ? AgentText(agent.Get(), &IExtensionAgent::GetVersion) : std::u16string();
  }

  HRESULT DeleteExtension(const std::u16string& extension_id) override {
    halcy::ScopedBstr id(extension_id);
    return manager_->DeleteExtension(id.Get());
  }

  HRESULT ReportSelfStatistics(const std::u16string& extension_id, LONG upload_type,
                               const std::u16string& type, const std::u16string& content) override {
    return manager_->ReportSelfStatistics(extension_id, upload_type, type, content);
  }

  HRESULT GetUIExtPtMgr(IUIExtPtMgr** manager) override { return manager_->GetUIExtPtMgr(manager); }

  std::u16string ExtensionLocation(const std::u16string& extension_id,
                                   const std::u16string& relative_path) override {
    halcy::ScopedBstr id(extension_id), relative(relative_path), location;
    if (FAILED(
            manager_->BuildExtensionResourcePath(id.Get(), relative.Get(), location.Receive()))) {
      return u"";
    }
    return std::u16string(location.View());
  }

  std::u16string ExtensionDirectory(const std::u16string& extension_id) override {
    halcy::ScopedBstr id(extension_id);
    ComPtr<IExtensionAgent> agent;
    manager_->GetExtensionAgent(id.Get(), agent.ReleaseAndGetAddressOf());
    return agent ? AgentText(agent.Get(), &IExtensionAgent::GetDirectory) : std::u16string();
  }

 private:
  CExtensionMgrImpl* const manager_;  // borrowed: the manager outlives its command hosts
};

}  // namespace

std::shared_ptr<ExtensionMgrPort> MakeExtensionMgrPort(CExtensionMgrImpl* manager) {
  return std::make_shared<ManagerPort>(manager);
}

}  // namespace Logic
