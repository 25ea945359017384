// CExtensionMgrImpl: the extension manager behind CCoExtensionMgr. It owns the installed set
// (id -> IExtensionAgent), the extension database wrapper, the listener list and the
// command-host list, runs start-up and shut-down on the extension-manager thread, and raises
// the manager's events to its listeners, each on the listener's own thread. It also routes
// messages between the front end, background pages and native libraries: the route cache, the
// background-core, event-listener and front-end sink tables, the extension-DLL host slot, and
// commands through the permission gate to the command hosts.
//
// Threads: interface calls come from any thread and only read under a lock or post a named
// task ("&CExtensionMgrImpl::SwitchUser_BackThread", ...). Start-up, shut-down and every
// change of the installed set run on the extension-manager thread (kThreadExtensionManager).
// Each map and list has its own lock; no operation holds two, and no lock is held while a
// listener, agent, store or other service is called (maps are copied first).
//
// The manager also owns the host of the extension-DLL process (process/
// dll_interaction_process_host.h): created at start-up, the sender behind the DLL-host slot,
// shut down at uninitialize. It is the host's owner: the child's messages and the channel's
// failure arrive here (extension_mgr_dll.cc), where a first crash restarts the process and
// reloads every native library, and a later one shows a notice and leaves it down. A native
// library's page requests (open a page, page information, snapshots, toolbar commands) run on
// the UI thread and are answered through the same host (extension_mgr_webpage.cc).
//
// Reference counted: CCoExtensionMgr holds one reference, every posted task holds another
// until it has run or been dropped; the DLL host holds one until it is shut down.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/lock.h"
#include "base/ref_counted.h"
#include "command/ext_common_cmd_host.h"
#include "command/ext_menu_cmd_host.h"
#include "extension/bk_core_table.h"
#include "extension/dll_host_slot.h"
#include "extension/event_listener_table.h"
#include "extension/fe_sink_table.h"
#include "extension/web_view_service.h"
#include "platform/com.h"
#include "process/dll_interaction_process_host.h"
#include "thread/listener_list.h"

struct IStringList;

namespace IPC {
class CMessage;
}

namespace Logic {

struct UIPointsBatch;
struct IExtensionAgent;
struct IExtensionMgr;
struct IExtensionMgrListener;
struct IExtCmdHost;
struct IExtensionTracker;
struct IExtensionAppGuild;
struct IUIExtPtMgr;
struct IBrowserFrame;
struct IUIExtListener;
class CUIExtListener;
class CExtensionDB;
struct IPropertySet;

// A string getter of `agent` (GetId, GetDirectory, ...) as a wide string ("" when it fails).
std::u16string AgentText(IExtensionAgent* agent, HRESULT (IExtensionAgent::*get)(BSTR*));

// The statistics category of the records extensions upload themselves.
inline constexpr const char16_t* kSelfReportCategory = u"ExtensionUploadLog";

// A new property set from the object factory for a statistics record; null when none.
ComPtr<IPropertySet> NewPropertySet();

class CExtensionMgrImpl : public base::CRefCountedThreadSafe<CExtensionMgrImpl>,
                          public IDllInteractionOwner {
 public:
  // `owner` is the COM object the manager hands to its collaborators; borrowed until
  // DetachOwner, which the COM object calls as it goes (and which also shuts the extension-DLL
  // process down, as uninitialize would).
  explicit CExtensionMgrImpl(IExtensionMgr* owner);
  void DetachOwner();

  // --- IExtensionMgr operations (see extension_mgr.h) ---
  HRESULT GetNextSequenceNumber(LONG* number);
  HRESULT AddListener(LONG listener_id, DWORD thread_id, IExtensionMgrListener* listener,
                      BOOL register_with_user_service);
  HRESULT AddListenerOnCallingThread(IUnknown* user_listener, IExtensionMgrListener* listener);
  HRESULT SwitchUser();
  HRESULT UnInitialize();
  HRESULT GetInstalledExtensions(IStringList** extension_ids);
  HRESULT GetExtensionAgent(BSTR extension_id, IExtensionAgent** agent);
  HRESULT GetUIExtPtMgr(IUIExtPtMgr** manager);
  HRESULT RegisterCmdHost(IExtCmdHost* host);
  HRESULT GetExternalCmdHost(int index, IExtCmdHost** host);
  HRESULT FindExtensionOfSink(LONG value1, LONG value2, BSTR* extension_id, BSTR url);
  HRESULT GetNamedString(BSTR key, BSTR* value);
  HRESULT FindExtensionOfUrl(BSTR url, BSTR* extension_id);
  HRESULT GetExtensionDataDirectory(BSTR* directory);
  HRESULT BuildExtensionResourcePath(BSTR extension_id, BSTR relative_path, BSTR* path);
  HRESULT SetExtensionStateValue(BSTR extension_id, LONG value);
  HRESULT SaveCachedExtensionList();
  HRESULT LoadCachedData();
  HRESULT RegisterAllAccelerators();

  // --- IExtensionMgr message-routing operations (extension_mgr_routing.cc) ---
  HRESULT AnswerLibraryRequest(BSTR request_key, LONG value, BSTR result);     // 18
  HRESULT DispatchNamedEvent(BSTR event_name, BSTR payload);                   // 21
  HRESULT RegisterBkpEventListener(BSTR event_name, LONG value1, LONG value2,  // 22
                                   LONG value3, LONG value4);
  HRESULT ForwardToDllHost(BSTR text, LONG value, BSTR text2, BSTR text3,  // 23
                           LONG value2, LONG value3);
  HRESULT SendToExtension(BSTR extension_id, LONG number, BSTR text,  // 24
                          BSTR fe_command, LONG number2, LONG number3);
  HRESULT RegisterFESink(FESinkTable table, BSTR extension_id, LONG value1,  // 26, 27
                         LONG value2, BSTR key);
  HRESULT RemoveFESinks(BSTR owner, BSTR key, LONG value);                     // 28
  HRESULT RemoveEventListeners(BSTR owner, BSTR event_name, LONG value);       // 29
  HRESULT BroadcastBrowserNotifyMsg(BSTR message, BSTR payload);               // 32
  HRESULT RecordUsageAction(BSTR category, BSTR key, BSTR action, BSTR style,  // 34
                            BSTR name);
  // An extension's own log record ("extension.invoke.cmd.uploadlog"): logged under "oldlog;"
  // and recorded with the statistics service under the category kSelfReportCategory, the
  // record's type as key, with "AppId", "LogUploadType" and "Content". S_FALSE without a
  // statistics service.
  HRESULT ReportSelfStatistics(const std::u16string& extension_id, LONG upload_type,
                               const std::u16string& type, const std::u16string& content);
  HRESULT AddBkpEventListener(BSTR extension_id, BSTR event_name, LONG value1,  // 37
                              LONG value2);
  HRESULT ProcessBPCommand(BSTR extension_id, BSTR command, BSTR arguments,  // 38
                           LONG request_context);

  // --- For the command hosts, the notification manager and the DLL host (any thread) ---

  // Sends `payload` under the name `command` to extension `extension_id`: a reply of a command
  // host ("extension.response.utility.geturl", ...) or any other message. Posts
  // "&CExtensionMgrImpl::SendToExtensionInternal" to the extension-manager thread, which
  // routes it to the extension's background page ("hcbrowser.extension.notify") or, for an
  // extension without one, to its native library (IPC 0x07000011 carrying `request_context`).
  // S_OK when posted; E_OUTOFMEMORY or E_FAIL when the task could not be built or handed over.
  HRESULT PostToExtension(const std::u16string& extension_id, const std::u16string& command,
                          const std::u16string& payload, LONG request_context);

  // Broadcasts a browser notification ("extension.notify.tab.create", ...) with its payload:
  // posts "&CExtensionMgrImpl::BrodcastBrowserNofityMsg", which sends IPC 0x07000012 to the
  // DLL host first and then notifies every background core. S_OK when posted.
  HRESULT BroadcastBrowserNotification(const std::u16string& name, const std::u16string& payload);

  // Hands `message` to the extension-DLL host slot (IExtensionMgr slot 35). Takes ownership of
  // `message` whatever the result; S_OK when sent or queued, E_FAIL when dropped (no host).
  HRESULT SendToDllHost(IPC::CMessage* message);

  // The browser version "%d.%d.%d.%d" read at start-up ("0.0.0.0" before the first start-up or
  // when the version resource cannot be read).
  std::u16string GetBrowserVersion() const;

  // Delivers `payload` under `command` to the extension (IExtensionMgr slot 39): to its
  // background core, on the core's owner thread, when one is registered; otherwise over IPC
  // 0x07000011. Runs on the calling thread.
  HRESULT DeliverToExtension(const std::u16string& extension_id, const std::u16string& command,
                             const std::u16string& payload);

  // The response to the front end: the trace "ext:rsend to fe, ...", then the sink registered
  // for (`extension_id`, `key`) in table A, else in table B, receives `command` and
  // `arguments` on its owner thread. S_OK (nothing sent) when there is no sink, S_FALSE when
  // delivered.
  HRESULT SendResponseToFE(const std::u16string& extension_id, const std::u16string& key,
                           const std::u16string& command, const std::u16string& arguments);

  // A command from an extension (background page or native library) or from the front end
  // (empty id): the trace, the permission gate, then each command host in registration order
  // until one answers S_OK. S_OK taken; S_FALSE no host took it; E_ACCESSDENIED refused by the
  // permission gate. REQUIRES: the extension-manager thread.
  HRESULT ReceiveFromExtension(const std::u16string& extension_id, const std::u16string& command,
                               const std::u16string& arguments, LONG request_context);

  // Records a pending request of a native library under `request_key`, answered by slot 18
  // with IPC 0x0700000A (target, handle, value, result).
  void AddPendingLibraryRequest(const std::u16string& request_key, const std::u16string& target,
                                int64_t handle);

  // The extension-DLL host slot (dll_host_slot.h); the DLL host or a test sets its sender.
  CDllHostSlot& dll_host() { return dll_host_; }

  // --- Tasks on the extension-manager thread (message routing) ---

  // Routes a message to one extension: the route cache decides between IPC 0x07000011 (native
  // library) and notifyToBackgroundPage. E_FAIL when the extension is neither cached nor
  // installed. REQUIRES: the extension-manager thread.
  HRESULT SendToExtensionInternal(std::u16string extension_id, std::u16string command,
                                  std::u16string arguments, LONG request_context);
  // Sends "hcbrowser.extension.notify" with the event payload to the core of `extension_id`,
  // or to every core for an empty id; an id without a core is dropped silently.
  void notifyToBackgroundPage(std::u16string extension_id, std::u16string event_name,
                              std::u16string event_details);
  void BrodcastBrowserNofityMsg(std::u16string name, std::u16string payload);
  void ProcessBPCommandInExtMgrThread(std::u16string extension_id, std::u16string command,
                                      std::u16string arguments, LONG request_context);
  void AddBkpEventListenerInExtMgrThread(std::u16string extension_id, std::u16string event_name,
                                         LONG value1, LONG value2);
  // Enters a background core into the table (replacing the extension's previous core). The
  // core is called on `owner_thread` only.
  void InsertBKCoreInfoInExtMgrThread(ComPtr<IExtBackgroundCore> core, DWORD owner_thread,
                                      LONG value1, LONG value2, std::u16string extension_id,
                                      LONG routing_handle);

  // Starts the running part of an agent in state 1 or 2 (extension_mgr_start.cc): for a
  // background page without a library, posts CreateBackgroundCore with
  // "hcbrowser://localextensions/<id>/<page>" to the UI thread.
  void StartExtension(IExtensionAgent* agent);
  // UI thread: creates the hidden core through the web-view host, navigates it to `address`
  // and posts InsertBKCoreInfoInExtMgrThread, which enters the core only while the start is
  // still pending (see starting_pages_). Without the web-view service nothing starts.
  void CreateBackgroundCore(std::u16string address, std::u16string extension_id);

  // --- The browser's UI (extension_mgr_ui.cc) ---

  // The handlers behind CUIExtListener, called on the UI thread. A button click goes to the
  // extension as "extension.notify.ui.click" (IPC 0x07000011) without a background page, else
  // as the page event "browserAction.onClicked"; a menu click as IPC 0x07000006, else
  // "browserAction.onMenuClicked" (S_FALSE for an extension that is not installed); the guide
  // display as "extension.response.ui.showguide".
  HRESULT OnUIExtClickEvent(BSTR extension_id, BSTR point_id, BSTR url, LONG tab_id, LONG frame_id,
                            LONG left_button, BSTR button_name);
  HRESULT OnUIExtMenuClickEvent(BSTR extension_id, BSTR point_id, LONG frame_id, LONG menu_id);
  HRESULT OnUIExtShowGuide(BSTR extension_id, LONG value, BSTR url, LONG show);
  // Builds the agent's description, posts its accelerator's registration to the UI thread and
  // registers the description with the UI extension-point manager, passing `flag`. With
  // `batch` given (a start-up registering every extension), the directory is resolved against
  // the batch's data directory and the accelerator is appended to the batch, for the caller to
  // post with the others in one task.
  void RegisterUIPoints(IExtensionAgent* agent, LONG flag, UIPointsBatch* batch = nullptr);
  // RemoveOrRefresh(id, flag) on the UI extension-point manager: 0 withdraws, 1 refreshes.
  void WithdrawUIPoints(const std::u16string& extension_id, LONG flag);
  // Start-up: registers every installed agent in state 1 or 2, then withdraws the registrations
  // of extensions no longer installed.
  void AlignUIPointsWithInstalled();
  // Closes every tab whose address starts with the extension's base address; runs on the UI
  // thread (posts itself there when called elsewhere).
  void _CloseTabByURL(std::u16string extension_id);
  // REQUIRES: the UI thread.
  void CloseTabsBelow(std::u16string base_url);
  // IExtensionMgr slot 40: posts _RegisterPageExtension, which registers the page plug-in
  // ("plugins\\npquell.dll" beside the executable) unless its class names an existing library.
  HRESULT RegisterPageExtension();
  void _RegisterPageExtension();
  // The listener handed to the UI extension-point manager (its slots answer -1 once cleared).
  ComPtr<IUIExtListener> UIListenerForTesting() const;

  // --- Changes of the installed set (extension_mgr_install.cc) ---

  // IExtensionMgr slots 8, 9, 10: post DisableExtension_BackThread, EnableExtension_BackThread,
  // DeleteExtension_BackThread. S_OK when posted.
  HRESULT DisableExtension(BSTR extension_id);
  HRESULT EnableExtension(BSTR extension_id);
  HRESULT DeleteExtension(BSTR extension_id);
  // S_OK once the current extension process is on its channel, S_FALSE when it ended first or
  // `timeout_ms` passed, E_FAIL without a host. Not on the extension-manager thread.
  HRESULT WaitForDllProcess(DWORD timeout_ms);
  // Install and update requests (the update tracker, the install guide, IExtensionInstaller):
  // post the back-thread task; `done` (may be null) then receives the task's result on the
  // extension-manager thread. S_OK when posted.
  // A reinstall's outcome also goes to the install guide (OnInstallResult), unless `requester`
  // is that guide: it hears it through `done` already.
  using InstallDone = std::function<void(const std::u16string& id, HRESULT result)>;
  HRESULT PostInstallExtension(std::u16string extension_id, LONG flags, LONG state,
                               std::u16string directory, InstallDone done,
                               ComPtr<IUnknown> requester = nullptr);
  HRESULT PostUpdateExtension(std::u16string extension_id, LONG flags, LONG state,
                              std::u16string directory, InstallDone done);

  // S_OK installed, S_FALSE nothing done (no database, no directory, reinstall not allowed),
  // E_FAIL (no manifest, not an object, browser too old, store refused).
  HRESULT InstallExtension_BackThread(std::u16string extension_id, LONG flags, LONG state,
                                      std::u16string directory);
  // Stages an update in the store; the installed map is not touched. S_FALSE (and the
  // directory deleted) when the browser is older than the update's "lowestbrowser".
  HRESULT UpdateExtension_BackThread(std::u16string extension_id, LONG flags, LONG state,
                                     std::u16string directory);
  HRESULT EnableExtension_BackThread(std::u16string extension_id);
  HRESULT DisableExtension_BackThread(std::u16string extension_id);
  HRESULT DeleteExtension_BackThread(std::u16string extension_id);

  // The directories whose deletion is pending (a copy). They are deleted again at the next
  // switch user and at uninitialize; what still cannot be deleted at uninitialize is
  // scheduled for deletion at the next start (DeleteDirectoryAtReboot).
  std::vector<std::u16string> PendingDeletions() const;

  // --- Tasks on the extension-manager thread ---
  void SwitchUser_BackThread(std::u16string user_name, LONG user_value);
  void UnInitialize_BackThread();

  // The listener broadcast, for every event the manager raises. Calls `call` for every listener
  // except `excluded_id` (0: none) on its owner thread: at once on the calling thread, else as a
  // "func" task. Returns the last direct call's result (S_OK when none ran here). `call` is copied
  // into each posted task.
  using ListenerCall = std::function<HRESULT(IExtensionMgrListener*)>;
  HRESULT BroadcastToListeners(LONG excluded_id, const ListenerCall& call);
  // Broadcasts OnExtensionStateChanged(extension_id, state) to every listener.
  void BroadcastStateChanged(const std::u16string& extension_id, LONG state);

  // Keeps `tracker` as the manager's update tracker (the tracker calls it when it is given the
  // manager); a different tracker replaces the one held.
  void RegisterTracker(IExtensionTracker* tracker);
  // The tracker held now (null before start-up and after uninitialize).
  ComPtr<IExtensionTracker> Tracker() const;
  // IExtensionMgr slot 15: the install guide, created (and handed the manager) on first use.
  HRESULT GetExtensionAppGuild(IExtensionAppGuild** guild);
  // The guide held now (null before start-up without "extensionMgrConfig.ini", and after
  // uninitialize).
  ComPtr<IExtensionAppGuild> Guild() const;

  // The registered command hosts, in registration order (a copy).
  std::vector<ComPtr<IExtCmdHost>> CommandHosts();

  // --- The extension-DLL process (extension_mgr_dll.cc) ---

  void AddRef() const override { base::CRefCountedThreadSafe<CExtensionMgrImpl>::AddRef(); }
  void Release() const override { base::CRefCountedThreadSafe<CExtensionMgrImpl>::Release(); }
  // IDllInteractionOwner: what the child sends, and the loss of its channel. A message that
  // names an extension whose library this manager did not ask the child to load is dropped.
  void OnDllMessage(const CDllMessage& message) override;
  void OnDllMessageInUIThread(const CDllMessage& message) override;
  // A crash of the process: OnDllProcessState(FALSE) to the listeners, then on the first crash
  // in the process the trace "重新加载交互进程以及各个扩展的DLL", a new process with every
  // enabled native library loaded again and OnDllProcessState(TRUE); on any later crash the
  // notice of ShowDllCrashNotice, and the process stays down.
  void OnDllProcessChannelError() override;
  // The crash counter is process-wide; tests start from zero.
  static void ResetDllCrashCountForTesting();

  // --- Web-page operations for native libraries (extension_mgr_webpage.cc) ---
  // Requests of a native library (IPC 0x0700000B, 0x0700000C, 0x07000009, 0x07000005), taken
  // on the extension-manager thread. Each returns S_FALSE: before start-up (or after
  // uninitialize) having done nothing, otherwise after posting its task of the same name
  // ("&CExtensionMgrImpl::OpenWebPage", ...) to the UI thread with copies of its arguments.
  // Frame ids and numbers keep their low 32 bits; frame id -1 names every top-level frame.
  HRESULT OpenWebPage(const std::u16string& extension_id, int64_t frame_id,
                      const std::u16string& url, LONG relative_allowed, LONG run_script,
                      const std::u16string& script, LONG value);
  HRESULT GetWebPageInfo(const std::u16string& extension_id, int64_t frame_id, int64_t number,
                         LONG flag, const std::u16string& request);
  HRESULT SnapShotWebPage(int64_t frame_id, const std::u16string& extension_id, LONG value,
                          const std::u16string& target);
  HRESULT PostCommandToUI(const std::u16string& extension_id, int64_t value1, int64_t value2,
                          const std::u16string& command);
  // While an extension id is in the open-page guard, its OpenWebPage requests open nothing.
  void SetOpenPageBlocked(const std::u16string& extension_id, bool blocked);
  // The pages whose snapshot is under way (for tests and diagnostics).
  size_t PendingSnapshotCount() const;

  // The UI-thread halves. REQUIRES: the UI thread.
  HRESULT OpenWebPageInUIThread(std::u16string extension_id, LONG frame_id, std::u16string url,
                                LONG relative_allowed, LONG run_script, std::u16string script);
  void GetWebPageInfoInUIThread(std::u16string extension_id, LONG frame_id, LONG number, LONG flag,
                                std::u16string request);
  void SnapShotWebPageInUIThread(LONG frame_id, std::u16string extension_id, LONG value,
                                 std::u16string target);
  void PostCommandToUIInUIThread(std::u16string extension_id, LONG value1, LONG value2,
                                 std::u16string command);
  // A page reported the end of the snapshot it started for `frame_id`: the pending entry goes
  // and the library hears 0x0700000A (extension id, the frame id or -1 when it failed, 1 or 0,
  // target). Any thread.
  void OnPageSnapshotFinished(IUnknown* page, LONG frame_id, bool succeeded,
                              const std::u16string& target);

 private:
  friend class base::CRefCountedThreadSafe<CExtensionMgrImpl>;
  ~CExtensionMgrImpl();

  using InstalledMap = std::map<std::u16string, ComPtr<IExtensionAgent>>;

  // The external command host `index` (0..2), created through the object factory and
  // registered on first use; null when the class is not available.
  ComPtr<IExtCmdHost> ExternalCmdHost(int index);

  // Start-up steps (extension_mgr_startup.cc).
  bool PrepareDatabase();
  void StartCommonCmdHost();  // and the menu command host after it
  void LoadInstalledExtensions();
  void RecordExtensionStatistics();
  void RegisterSkinPrefix();
  // Start-up steps 6 and 8: creates the tracker when there is none, hands it the manager and
  // starts it; then the built-in refresh.
  void StartTracker();
  void CheckBuiltinWithTracker();
  // Takes the tracker out and stops it (uninitialize and a release without one).
  void StopTracker();
  // Start-up step 9: creates the guide when there is none and hands it the manager; only a
  // guide that accepts it (the configuration file exists) is kept and started.
  void StartGuild();
  // Hands `guild` a view of this manager; false when it refuses (no configuration file).
  bool HandGuildTheManager(IExtensionAppGuild* guild);
  // Takes the guide out, stops it (which saves "UnFinishTask.ini") and lets go of it. The stop
  // runs on the extension-manager thread: at once when called there, else posted.
  void StopGuild();
  // Tells the guide the outcome of a reinstall of `extension_id` (not when it asked for it).
  void ReportReinstall(const std::u16string& extension_id, HRESULT result,
                       const ComPtr<IUnknown>& requester);
  std::shared_ptr<CExtensionDB> database() const;

  // Enters `agent` into the installed map and registers it with the permission manager.
  void RegisterInstalled(const ComPtr<IExtensionAgent>& agent);
  // Removes `extension_id` from the installed map and from the permission manager (delete).
  void UnregisterInstalled(const std::u16string& extension_id);
  // The installed agent of `extension_id`, or null.
  ComPtr<IExtensionAgent> InstalledAgent(const std::u16string& extension_id) const;
  // The permission gate of ReceiveFromExtension: true when the command may be offered.
  bool PassesPermissionGate(const std::u16string& extension_id, const std::u16string& command);
  // Delivers `name`/`payload` to the core of `record` on its owner thread.
  static void DeliverToCore(const BkCoreRecord& record, const std::u16string& name,
                            const std::u16string& payload);
  InstalledMap InstalledCopy() const;
  std::u16string DataDirectory() const;

  // The extension-DLL process (extension_mgr_dll.cc).
  // Creates and initialises the host and puts it behind the slot; nothing when there is one.
  void StartDllProcessHost();
  // Takes the host out (and out of the slot unless `keep_slot`) and shuts it down.
  void StopDllProcessHost(bool keep_slot);
  // Sends 0x07000001 (id, resolved path) when the agent's "librarypath" resolves to a regular
  // file inside its directory (0x07000002 first when it is loaded already); otherwise logs and
  // starts nothing.
  void LoadNativeLibrary(IExtensionAgent* agent);
  bool IsLibraryLoaded(const std::u16string& extension_id) const;
  // The child reported that the library of `extension_id` did not load.
  void LoadAppDllFailed(const std::u16string& extension_id);
  // The notice of a repeated crash, naming the enabled extensions whose library was loaded, on
  // the toolbar through the UI extension-point manager, or in the log when there is none.
  void ShowDllCrashNotice();
  // A library's request (0x0700000E): run as a command, answered with 0x0700000F.
  void AnswerLibraryRequestFromDll(const CDllMessage& message);

  // Install helpers (extension_mgr_install.cc).
  HRESULT PostExtensionTask(HRESULT (CExtensionMgrImpl::*task)(std::u16string),
                            const char16_t* name, BSTR extension_id);
  bool BrowserOlderThan(IExtensionAgent* manifest_holder);
  HRESULT StoreInstalled(const ComPtr<IExtensionAgent>& agent, bool reinstall);
  void CloseExtensionParts(const std::u16string& extension_id);
  void UnloadLibrary(const std::u16string& extension_id);
  void RecordPluginFunction(const std::u16string& extension_id, IExtensionAgent* agent,
                            bool enabled);
  void AddPendingDeletion(const std::u16string& directory);
  // Deletes the pending directories; with `at_reboot`, what still fails is scheduled for the
  // next start and the list is emptied.
  void WorkOffPendingDeletions(bool at_reboot);

  // Constant after construction, cleared by DetachOwner.
  IExtensionMgr* owner_;

  Thread::CListenerList<IExtensionMgrListener> listeners_;

  mutable base::CLock installed_lock_;
  InstalledMap installed_;  // Guarded by installed_lock_

  // Message routing: each table has its own lock.
  CFESinkTable fe_table_a_;  // registrations of slots 19 and 26
  CFESinkTable fe_table_b_;  // registrations of slot 27
  CEventListenerTable event_listeners_;
  CBkCoreTable bk_cores_;
  CDllHostSlot dll_host_;

  struct PendingRequest {
    std::u16string target;
    int64_t handle;
  };
  mutable base::CLock pending_lock_;
  std::map<std::u16string, PendingRequest> pending_requests_;  // Guarded by pending_lock_

  // The "enforce" setting of the permission gate: -1 until read from extensionMgrConfig.ini.
  std::atomic<int> enforce_permissions_{-1};

  mutable base::CLock cmd_host_lock_;
  std::vector<ComPtr<IExtCmdHost>> cmd_hosts_;  // Guarded by cmd_host_lock_
  // The external command hosts of slots 16 and 17 and the one of class {3C76F1DE-...}.
  ComPtr<IExtCmdHost> external_hosts_[3];  // Guarded by cmd_host_lock_
  // The common command host, created at the first start-up and released at uninitialize.
  ComPtr<IExtCommonCmdHost> common_cmd_host_;  // Guarded by cmd_host_lock_
  ComPtr<IExtMenuCmdHost> menu_cmd_host_;      // Guarded by cmd_host_lock_

  // Background pages being created on the UI thread: extension id -> starts in flight.
  // StartExtension adds one; the created core is entered only by taking one back, and disable,
  // delete and uninitialize drop the id, so that a page finished after its extension was
  // switched off gets no core.
  mutable base::CLock starting_lock_;
  std::map<std::u16string, int> starting_pages_;  // Guarded by starting_lock_
  void DropStartingPage(const std::u16string& extension_id);
  bool TakeStartingPage(const std::u16string& extension_id);

  mutable base::CLock dll_process_lock_;
  base::RefPtr<CDllInteractionProcessHost> dll_process_;  // Guarded by dll_process_lock_
  // What this manager put into the slot for the host.
  std::shared_ptr<IDllHostSender> dll_sender_;  // Guarded by dll_process_lock_
  // Extensions whose library the child was asked to load (and not to unload since).
  std::set<std::u16string> loaded_libraries_;  // Guarded by dll_process_lock_

  // Started by switch user, stopped by uninitialize: the web-page operations need it.
  std::atomic<bool> started_{false};
  // Pages producing a snapshot: page identity -> (the page, the requesting extension).
  struct PendingSnapshot {
    ComPtr<IUnknown> page;
    std::u16string extension_id;
  };
  mutable base::CLock snapshot_lock_;
  std::map<IUnknown*, PendingSnapshot> pending_snapshots_;  // Guarded by snapshot_lock_
  mutable base::CLock open_page_guard_lock_;
  std::set<std::u16string> open_page_guard_;  // Guarded by open_page_guard_lock_
  // One top-level frame's page-information reply, or a snapshot start (UI thread).
  void AnswerPageInfo(IBrowserFrame* frame, const std::u16string& extension_id, LONG number,
                      LONG flag, const std::u16string& request);
  // Forgets every pending snapshot (uninitialize, detach): a page that never reports would
  // otherwise keep the manager alive through its sink.
  void DropPendingSnapshots();
  void StartPageSnapshot(IBrowserFrame* frame, const std::u16string& extension_id, LONG value,
                         const std::u16string& target);

  mutable base::CLock pending_deletion_lock_;
  std::vector<std::u16string> pending_deletions_;  // Guarded by pending_deletion_lock_

  mutable base::CLock named_lock_;
  std::map<std::u16string, std::u16string> named_strings_;  // Guarded by named_lock_

  // The web-view host, fetched on first use; touched on the UI thread only.
  ComPtr<IExtWebViewHost> web_view_host_;
  ComPtr<IExtWebViewHost> WebViewHost();

  mutable std::mutex state_mutex_;
  std::shared_ptr<CExtensionDB> db_;  // Guarded by state_mutex_; kept for the process
  std::u16string browser_version_;    // Guarded by state_mutex_
  std::u16string user_name_;          // Guarded by state_mutex_
  LONG user_value_ = 0;               // Guarded by state_mutex_

  // The update tracker: created at start-up, stopped and released at uninitialize. It holds a
  // reference on the manager until it is stopped.
  mutable base::CLock tracker_lock_;
  ComPtr<IExtensionTracker> tracker_;  // Guarded by tracker_lock_

  // The install guide: created at start-up when "extensionMgrConfig.ini" exists (or on the first
  // GetExtensionAppGuild), stopped and released at uninitialize. It holds a view of the manager
  // (a second COM object on this impl), so that a manager released without uninitialize still
  // reaches DetachOwner, which lets go of the guide.
  mutable base::CLock guild_lock_;
  ComPtr<IExtensionAppGuild> guild_;  // Guarded by guild_lock_

  // The click listener: handlers installed at switch user, cleared at uninitialize.
  // Constant after construction.
  const ComPtr<CUIExtListener> ui_listener_;
  void InstallUIListener();
  void ClearUIListener();
  void WithdrawAllUIPoints();
  HRESULT PostBackgroundPageEvent(const std::u16string& extension_id,
                                  const std::u16string& event_name, const std::u16string& payload);
  // Closes the background core of `extension_id` on its owner thread and drops it from the
  // table.
  void CloseBackgroundCore(const std::u16string& extension_id);
};

}  // namespace Logic
