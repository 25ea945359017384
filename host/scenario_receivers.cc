#include "host/scenario_receivers.h"

#include <atomic>

#include "common/json_escape.h"
#include "extension/bk_core.h"
#include "extension/dll_host_slot.h"
#include "extension/fe_sink_service.h"
#include "extension/web_view_service.h"
#include "host/dll_messages.h"
#include "host/guild_popup.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace host {

void CScenarioOutput::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(lock_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

namespace {

std::string Text(BSTR text) { return JsonQuoted(text ? text : u""); }

class CFrontEndRecorder : public halcy::ComObjectRoot, public Logic::IFrontEndSinkService {
 public:
  HALCY_BEGIN_INTERFACES(CFrontEndRecorder)
  HALCY_INTERFACE(CFrontEndRecorder, Logic::IFrontEndSinkService)
  HALCY_END_INTERFACES()

  explicit CFrontEndRecorder(CScenarioOutput* output) : output_(output) {}
  HRESULT DeliverToFrontEnd(LONG, LONG, BSTR extension_id, BSTR command, BSTR arguments) override {
    output_->WriteLine("{\"to\":\"fe\",\"ext\":" + Text(extension_id) +
                       ",\"name\":" + Text(command) + ",\"payload\":" + Text(arguments) + "}");
    return S_OK;
  }

 private:
  CScenarioOutput* const output_;
};

class CDllHostRecorder : public halcy::ComObjectRoot, public Logic::IExtensionDllHostService {
 public:
  HALCY_BEGIN_INTERFACES(CDllHostRecorder)
  HALCY_INTERFACE(CDllHostRecorder, Logic::IExtensionDllHostService)
  HALCY_END_INTERFACES()

  explicit CDllHostRecorder(CScenarioOutput* output) : output_(output) {}
  HRESULT ReceiveDllHostMessage(const IPC::CMessage* message) override {
    if (!message) return E_INVALIDARG;
    output_->WriteLine(DllMessageLine(*message));
    return S_OK;
  }

 private:
  CScenarioOutput* const output_;
};

// A background page's hidden view: prints each message delivered to the page. Its extension is
// the one named by the address it was navigated to.
class CRecordingCore : public halcy::ComObjectRoot,
                       public Logic::IExtWebViewCore,
                       public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(CRecordingCore)
  HALCY_INTERFACE(CRecordingCore, Logic::IExtWebViewCore)
  HALCY_INTERFACE(CRecordingCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()

  CRecordingCore(CScenarioOutput* output, LONG handle) : output_(output), handle_(handle) {}

  HRESULT Navigate(BSTR address) override {
    constexpr std::u16string_view kPrefix = u"hcbrowser://localextensions/";
    std::u16string_view text = address ? address : u"";
    if (text.substr(0, kPrefix.size()) != kPrefix) return E_INVALIDARG;
    text.remove_prefix(kPrefix.size());
    extension_id_ = std::u16string(text.substr(0, text.find(u'/')));
    return S_OK;
  }
  HRESULT GetReportedValues(LONG* value1, LONG* value2) override {
    if (!value1 || !value2) return E_POINTER;
    *value1 = handle_;
    *value2 = 0;
    return S_OK;
  }
  HRESULT GetRoutingHandle(LONG* handle) override {
    if (!handle) return E_POINTER;
    *handle = handle_;
    return S_OK;
  }
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    output_->WriteLine("{\"to\":" + JsonQuoted(extension_id_) + ",\"via\":\"core\",\"name\":" +
                       Text(name) + ",\"payload\":" + Text(payload) + "}");
    return S_OK;
  }
  // The scenario's page has no view to tear down; nothing more reaches it once the manager
  // has dropped it from its table.
  HRESULT Close() override { return S_OK; }

 private:
  CScenarioOutput* const output_;
  const LONG handle_;
  // Set by Navigate on the UI thread before the core is entered into the manager's table,
  // which hands it to the UI thread's later tasks.
  std::u16string extension_id_;
};

// The web-view service, its first view factory and the web-view host in one object.
class CWebViewRecorder : public halcy::ComObjectRoot,
                         public Logic::IExtWebViewService,
                         public Logic::IExtWebViewFactory,
                         public Logic::IExtWebViewHost {
 public:
  HALCY_BEGIN_INTERFACES(CWebViewRecorder)
  HALCY_INTERFACE(CWebViewRecorder, Logic::IExtWebViewService)
  HALCY_INTERFACE(CWebViewRecorder, Logic::IExtWebViewFactory)
  HALCY_INTERFACE(CWebViewRecorder, Logic::IExtWebViewHost)
  HALCY_END_INTERFACES()

  explicit CWebViewRecorder(CScenarioOutput* output) : output_(output) {}
  HRESULT GetViewFactory(LONG index, Logic::IExtWebViewFactory** factory) override {
    if (!factory) return E_POINTER;
    if (index != 0) return E_INVALIDARG;
    return QueryInterface(Logic::IExtWebViewFactory::kIID, reinterpret_cast<void**>(factory));
  }
  HRESULT GetWebViewHost(Logic::IExtWebViewHost** host) override {
    if (!host) return E_POINTER;
    return QueryInterface(Logic::IExtWebViewHost::kIID, reinterpret_cast<void**>(host));
  }
  HRESULT CreateCore(LONG, LONG, LONG, Logic::IExtWebViewCore** core) override {
    if (!core) return E_POINTER;
    ComPtr<CRecordingCore> made = halcy::MakeComObject<CRecordingCore>(output_, ++next_handle_);
    if (!made) return E_OUTOFMEMORY;
    return made->QueryInterface(Logic::IExtWebViewCore::kIID, reinterpret_cast<void**>(core));
  }

 private:
  CScenarioOutput* const output_;
  std::atomic<LONG> next_handle_{0};
};

}  // namespace

CScenarioReceivers::CScenarioReceivers(CScenarioOutput* output) {
  auto publish = [this](REFIID iid, IUnknown* service) {
    if (service) registrations_.Publish(iid, service);
  };
  ComPtr<CFrontEndRecorder> front_end = halcy::MakeComObject<CFrontEndRecorder>(output);
  ComPtr<CDllHostRecorder> dll_host = halcy::MakeComObject<CDllHostRecorder>(output);
  ComPtr<CWebViewRecorder> web_view = halcy::MakeComObject<CWebViewRecorder>(output);
  publish(Logic::IFrontEndSinkService::kIID,
          static_cast<Logic::IFrontEndSinkService*>(front_end.Get()));
  publish(Logic::IExtensionDllHostService::kIID,
          static_cast<Logic::IExtensionDllHostService*>(dll_host.Get()));
  publish(Logic::IExtWebViewService::kIID, static_cast<Logic::IExtWebViewService*>(web_view.Get()));
  // The guide's pop-up writes through the same output, so its lines never split another's.
  ComPtr<CGuildPopup> popup = halcy::MakeComObject<CGuildPopup>(
      [output](const std::string& line) { output->WriteLine(line); });
  publish(Logic::IGuildPopup::kIID, static_cast<Logic::IGuildPopup*>(popup.Get()));
}

CScenarioReceivers::~CScenarioReceivers() = default;

}  // namespace host
