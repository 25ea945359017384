// IExtensionMgr: the interface through which the browser drives the extension system (switch
// user, listeners, the installed set, message routing), and CCoExtensionMgr, the creatable
// class behind it. CCoExtensionMgr holds exactly one CExtensionMgrImpl
// (extension_mgr_impl.h) and forwards every call to it unchanged.
//
//   ComPtr<IExtensionMgr> mgr;  // created by CLSID
//   mgr->AddListenerOnCallingThread(nullptr, listener);
//   mgr->SwitchUser();          // OnLocalExtensionList, then OnFirstReady, on this thread
//   ...
//   mgr->UnInitialize();
//
// Strings cross the interface as BSTRs (a plain NUL-terminated wide string works as input);
// outputs are new BSTRs the caller frees. Free-threaded: every method may be called from any
// thread; each one only reads under a lock or posts a named task to the extension-manager
// thread.
#pragma once

#include "base/ref_counted.h"
#include "extension/extension_installer.h"
#include "extension/extension_process_probe.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

struct IStringList;

namespace IPC {
class CMessage;
}

namespace Logic {

struct IExtensionAgent;
struct IExtensionMgrListener;
struct IExtCmdHost;
struct IExtensionAppGuild;
struct IUIExtPtMgr;
class CExtensionMgrImpl;

struct IExtensionMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionMgr;

  // 3: a new module-wide sequence number (E_INVALIDARG for null).
  virtual HRESULT GetNextSequenceNumber(LONG* number) = 0;
  // 4: adds a listener called on `thread_id`; with `register_with_user_service` also registers
  // it with the user service. E_INVALIDARG for a null listener.
  virtual HRESULT AddListener(LONG listener_id, DWORD thread_id, IExtensionMgrListener* listener,
                              BOOL register_with_user_service) = 0;
  // 5: registers `user_listener` with the user service (when there is one) and adds `listener`
  // for the calling thread.
  virtual HRESULT AddListenerOnCallingThread(IUnknown* user_listener,
                                             IExtensionMgrListener* listener) = 0;
  // 6, 7: start-up and shut-down, run on the extension-manager thread.
  virtual HRESULT SwitchUser() = 0;
  virtual HRESULT UnInitialize() = 0;
  // 8, 9, 10
  virtual HRESULT DisableExtension(BSTR extension_id) = 0;
  virtual HRESULT EnableExtension(BSTR extension_id) = 0;
  virtual HRESULT DeleteExtension(BSTR extension_id) = 0;
  // 11: a new string list of the installed ids in id order; S_FALSE for null.
  virtual HRESULT GetInstalledExtensions(IStringList** extension_ids) = 0;
  // 12: the agent of an installed extension; an id that is not installed leaves `agent` as it
  // was and still returns S_OK; S_FALSE for a null `agent`.
  virtual HRESULT GetExtensionAgent(BSTR extension_id, IExtensionAgent** agent) = 0;
  // 13: the browser's UI extension-point manager.
  virtual HRESULT GetUIExtPtMgr(IUIExtPtMgr** manager) = 0;
  // 14: appends a command host to the list offered every extension command; null is ignored.
  virtual HRESULT RegisterCmdHost(IExtCmdHost* host) = 0;
  // 15: the install guide.
  virtual HRESULT GetExtensionAppGuild(IExtensionAppGuild** guild) = 0;
  // 16, 17: the first and second external command hosts.
  virtual HRESULT GetExternalCmdHost1(IExtCmdHost** host) = 0;
  virtual HRESULT GetExternalCmdHost2(IExtCmdHost** host) = 0;
  // 18: answers a native library's pending request: sends IPC 0x0700000A (the request's target
  // and handle, `value`, `result`) and forgets the request. S_FALSE for an unknown key.
  virtual HRESULT AnswerLibraryRequest(BSTR request_key, LONG value, BSTR result) = 0;
  // 19: the extension behind a front-end sink (two values), or the extension of `url`.
  virtual HRESULT FindExtensionOfSink(LONG value1, LONG value2, BSTR* extension_id, BSTR url) = 0;
  // 20: a named string; E_FAIL when absent.
  virtual HRESULT GetNamedString(BSTR key, BSTR* value) = 0;
  // 21: delivers "hcbrowser.extension.notify" with { "result":"ok", "content":<payload>} ("" for
  // an empty payload) to every page registered for the event, then sends IPC 0x07000008.
  // 22: registers the page whose core has routing handle `value3` (`value1`, `value2`: the
  // values the core reported) for the event; `value4` is the registration's value (slot 29).
  // 23: sends IPC 0x07000003 with the fields, the numbers widened to 64 bits; S_OK when sent.
  virtual HRESULT DispatchNamedEvent(BSTR event_name, BSTR payload) = 0;
  virtual HRESULT RegisterBkpEventListener(BSTR event_name, LONG value1, LONG value2, LONG value3,
                                           LONG value4) = 0;
  virtual HRESULT ForwardToDllHost(BSTR text, LONG value, BSTR text2, BSTR text3, LONG value2,
                                   LONG value3) = 0;
  // 24: front-end command to an extension: the envelope {"fecmd":<fe_command>,
  // "fecmdContext":"<number>, <text>, <number2>, <number3>"} is sent as
  // "extension.invoke.fe.toLibAsync" (task "&CExtensionMgrImpl::SendToExtensionInternal").
  virtual HRESULT SendToExtension(BSTR extension_id, LONG number, BSTR text, BSTR fe_command,
                                  LONG number2, LONG number3) = 0;
  // 25: the extension whose base address begins `url` (case-insensitive); E_FAIL for none.
  virtual HRESULT FindExtensionOfUrl(BSTR url, BSTR* extension_id) = 0;
  // 26, 27: registers the front-end sink (`value1`, `value2`) for (`extension_id`, `key`) in
  // table A or B; it is called on the registering thread.
  virtual HRESULT RegisterFESinkA(BSTR extension_id, LONG value1, LONG value2, BSTR key) = 0;
  virtual HRESULT RegisterFESinkB(BSTR extension_id, LONG value1, LONG value2, BSTR key) = 0;
  // 28: an empty `key` with `value` -1 removes every sink of `owner` (both tables); otherwise
  // the sink of table A whose owner is `owner` and whose first value is `value`.
  // 29: an empty `event_name` with `value` -1 removes every event registration of `owner`;
  // otherwise its registrations for the event whose value is `value`.
  virtual HRESULT RemoveFESinks(BSTR owner, BSTR key, LONG value) = 0;
  virtual HRESULT RemoveEventListeners(BSTR owner, BSTR event_name, LONG value) = 0;
  // 30: the extension data directory ("\" separators); S_FALSE before the database exists.
  virtual HRESULT GetExtensionDataDirectory(BSTR* directory) = 0;
  // 31: "hcbrowser://localextensions/<id>/<relative path>".
  virtual HRESULT BuildExtensionResourcePath(BSTR extension_id, BSTR relative_path, BSTR* path) = 0;
  // 32: posts "&CExtensionMgrImpl::BrodcastBrowserNofityMsg": IPC 0x07000012 to the DLL host,
  // then "hcbrowser.extension.notify" to every background page.
  virtual HRESULT BroadcastBrowserNotifyMsg(BSTR message, BSTR payload) = 0;
  // 33: the extension's state value, on its agent and, when loaded, in the database.
  virtual HRESULT SetExtensionStateValue(BSTR extension_id, LONG value) = 0;
  // 34: records {"Action", "Style", "Name" (when not empty)} with the statistics service under
  // `category` and `key`; S_FALSE without the service.
  virtual HRESULT RecordUsageAction(BSTR category, BSTR key, BSTR action, BSTR style,
                                    BSTR name) = 0;
  // 35: hands an IPC message to the extension-DLL host; takes ownership of `message` whatever
  // the result. S_OK when sent, E_FAIL otherwise.
  virtual HRESULT SendToDllHost(IPC::CMessage* message) = 0;
  // 36: writes the installed list to the cache store ("ext_list").
  virtual HRESULT SaveCachedExtensionList() = 0;
  // 37: registers the page of `extension_id` for the event (task
  // "&CExtensionMgrImpl::AddBkpEventListenerInExtMgrThread"); `value1` is the registration's
  // value (slot 29), `value2` the routing handle of the page's core.
  // 38: posts "&CExtensionMgrImpl::ProcessBPCommandInExtMgrThread": the command goes through
  // the permission gate to the command hosts.
  virtual HRESULT AddBkpEventListener(BSTR extension_id, BSTR event_name, LONG value1,
                                      LONG value2) = 0;
  virtual HRESULT ProcessBPCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                   LONG request_context) = 0;
  // 39: to the extension's background core when it has one, else over IPC 0x07000011.
  virtual HRESULT DeliverToExtension(BSTR extension_id, BSTR command, BSTR payload) = 0;
  // 40
  virtual HRESULT RegisterPageExtension() = 0;
  // 41: loads the installed list from the cache store.
  virtual HRESULT LoadCachedData() = 0;
  // 42: posts "&CExtensionMgrImpl::SendToExtensionInternal" (request context 0).
  virtual HRESULT SendToExtensionInternal(BSTR extension_id, BSTR command, BSTR arguments) = 0;
  // 43
  virtual HRESULT RegisterAllAccelerators() = 0;
};

class CCoExtensionMgr : public halcy::ComObjectRoot,
                        public IExtensionMgr,
                        public IExtensionInstaller,
                        public IExtensionProcessProbe,
                        public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionMgr)
  HALCY_INTERFACE(CCoExtensionMgr, IExtensionMgr)
  HALCY_INTERFACE(CCoExtensionMgr, IExtensionInstaller)
  HALCY_INTERFACE(CCoExtensionMgr, IExtensionProcessProbe)
  HALCY_INTERFACE(CCoExtensionMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CCoExtensionMgr();
  // A view: a second COM object on the existing `shared` implementation, for a collaborator the
  // manager itself holds (the install guide). Its release never detaches the implementation.
  explicit CCoExtensionMgr(base::RefPtr<CExtensionMgrImpl> shared);
  ~CCoExtensionMgr();
  HRESULT FinalConstruct();
  void FinalRelease();

  HRESULT GetNextSequenceNumber(LONG* number) override;
  HRESULT AddListener(LONG listener_id, DWORD thread_id, IExtensionMgrListener* listener,
                      BOOL register_with_user_service) override;
  HRESULT AddListenerOnCallingThread(IUnknown* user_listener,
                                     IExtensionMgrListener* listener) override;
  HRESULT SwitchUser() override;
  HRESULT UnInitialize() override;
  HRESULT DisableExtension(BSTR extension_id) override;
  HRESULT EnableExtension(BSTR extension_id) override;
  HRESULT DeleteExtension(BSTR extension_id) override;
  HRESULT GetInstalledExtensions(IStringList** extension_ids) override;
  HRESULT GetExtensionAgent(BSTR extension_id, IExtensionAgent** agent) override;
  HRESULT GetUIExtPtMgr(IUIExtPtMgr** manager) override;
  HRESULT RegisterCmdHost(IExtCmdHost* host) override;
  HRESULT GetExtensionAppGuild(IExtensionAppGuild** guild) override;
  HRESULT GetExternalCmdHost1(IExtCmdHost** host) override;
  HRESULT GetExternalCmdHost2(IExtCmdHost** host) override;
  HRESULT AnswerLibraryRequest(BSTR request_key, LONG value, BSTR result) override;
  HRESULT FindExtensionOfSink(LONG value1, LONG value2, BSTR* extension_id, BSTR url) override;
  HRESULT GetNamedString(BSTR key, BSTR* value) override;
  HRESULT DispatchNamedEvent(BSTR event_name, BSTR payload) override;
  HRESULT RegisterBkpEventListener(BSTR event_name, LONG value1, LONG value2, LONG value3,
                                   LONG value4) override;
  HRESULT ForwardToDllHost(BSTR text, LONG value, BSTR text2, BSTR text3, LONG value2,
                           LONG value3) override;
  HRESULT SendToExtension(BSTR extension_id, LONG number, BSTR text, BSTR fe_command, LONG number2,
                          LONG number3) override;
  HRESULT FindExtensionOfUrl(BSTR url, BSTR* extension_id) override;
  HRESULT RegisterFESinkA(BSTR extension_id, LONG value1, LONG value2, BSTR key) override;
  HRESULT RegisterFESinkB(BSTR extension_id, LONG value1, LONG value2, BSTR key) override;
  HRESULT RemoveFESinks(BSTR owner, BSTR key, LONG value) override;
  HRESULT RemoveEventListeners(BSTR owner, BSTR event_name, LONG value) override;
  HRESULT GetExtensionDataDirectory(BSTR* directory) override;
  HRESULT BuildExtensionResourcePath(BSTR extension_id, BSTR relative_path, BSTR* path) override;
  HRESULT BroadcastBrowserNotifyMsg(BSTR message, BSTR payload) override;
  HRESULT SetExtensionStateValue(BSTR extension_id, LONG value) override;
  HRESULT RecordUsageAction(BSTR category, BSTR key, BSTR action, BSTR style, BSTR name) override;
  HRESULT SendToDllHost(IPC::CMessage* message) override;
  HRESULT SaveCachedExtensionList() override;
  HRESULT AddBkpEventListener(BSTR extension_id, BSTR event_name, LONG value1,
                              LONG value2) override;
  HRESULT ProcessBPCommand(BSTR extension_id, BSTR command, BSTR arguments,
                           LONG request_context) override;
  HRESULT DeliverToExtension(BSTR extension_id, BSTR command, BSTR payload) override;
  HRESULT RegisterPageExtension() override;
  HRESULT LoadCachedData() override;
  HRESULT SendToExtensionInternal(BSTR extension_id, BSTR command, BSTR arguments) override;
  HRESULT RegisterAllAccelerators() override;

  // IExtensionInstaller (extension_installer.h): install and update from outside the module.
  HRESULT InstallExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                           IExtensionInstallCallback* done) override;
  HRESULT UpdateExtension(BSTR extension_id, LONG flags, LONG state, BSTR directory,
                          IExtensionInstallCallback* done) override;

  // IExtensionProcessProbe (extension_process_probe.h).
  HRESULT WaitForExtensionProcess(LONG milliseconds) override;

  // The implementation, for the module's own parts and tests; valid while this object lives.
  CExtensionMgrImpl* impl() const { return impl_.get(); }

 private:
  // Constant after FinalConstruct; released (after its back-pointer is cleared) in
  // FinalRelease. Tasks still queued keep the implementation alive past this object.
  base::RefPtr<CExtensionMgrImpl> impl_;
  // Constant after construction: this object is a view and does not own impl_'s lifetime.
  bool view_ = false;
};

}  // namespace Logic
