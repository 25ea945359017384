// CExtensionMgrImpl: the extension manager behind CCoExtensionMgr. It owns the installed set
// (id -> IExtensionAgent), the extension database wrapper, the listener list and the
// command-host list, runs start-up and shut-down on the extension-manager thread, and raises
// the manager's events to its listeners, each on the listener's own thread.
//
// Threads: interface calls come from any thread and only read under a lock or post a named
// task ("&CExtensionMgrImpl::SwitchUser_BackThread", ...). Start-up, shut-down and every
// change of the installed set run on the extension-manager thread (kThreadExtensionManager).
// Each map and list has its own lock; no operation holds two, and no lock is held while a
// listener, agent, store or other service is called (maps are copied first).
//
// Reference counted: CCoExtensionMgr holds one reference, every posted task holds another
// until it has run or been dropped.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/lock.h"
#include "base/ref_counted.h"
#include "platform/com.h"

struct IStringList;

namespace Logic {

struct IExtensionAgent;
struct IExtensionMgr;
struct IExtensionMgrListener;
struct IExtCmdHost;
struct IUIExtPtMgr;
class CExtensionDB;

// A string getter of `agent` (GetId, GetDirectory, ...) as a wide string ("" when it fails).
std::u16string AgentText(IExtensionAgent* agent, HRESULT (IExtensionAgent::*get)(BSTR*));

// "%d.%d.%d.%d" from the version resource of the running executable, or "0.0.0.0".
std::u16string ReadBrowserVersion();

class CExtensionMgrImpl : public base::CRefCountedThreadSafe<CExtensionMgrImpl> {
 public:
  // `owner` is the COM object the manager hands to its collaborators; borrowed until
  // DetachOwner.
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

  // --- Tasks on the extension-manager thread ---
  void SwitchUser_BackThread(std::u16string user_name, LONG user_value);
  void UnInitialize_BackThread();

  // The listener broadcast, for every event the manager raises. Calls `call` for every listener
  // except `excluded_id` (0: none) on its owner thread: at once on the calling thread, else as a
  // "func" task. Returns the last direct call's result (S_OK when none ran here). `call` is copied
  // into each posted task.
  using ListenerCall = std::function<HRESULT(IExtensionMgrListener*)>;
  HRESULT BroadcastToListeners(LONG excluded_id, const ListenerCall& call);

  // The registered command hosts, in registration order (a copy).
  std::vector<ComPtr<IExtCmdHost>> CommandHosts();

 private:
  friend class base::CRefCountedThreadSafe<CExtensionMgrImpl>;
  ~CExtensionMgrImpl();

  struct ListenerEntry {
    LONG id;
    DWORD thread_id;  // the owner thread, recorded at registration
    ComPtr<IExtensionMgrListener> listener;
  };
  // A front-end sink registration of table A: the two values the front end identifies the
  // sink by, and the key (or address) it was registered with.
  struct FESinkEntry {
    std::u16string extension_id;
    LONG value1;
    LONG value2;
    std::u16string key;
  };
  using InstalledMap = std::map<std::u16string, ComPtr<IExtensionAgent>>;

  // The external command host `index` (0..2), created through the object factory and
  // registered on first use; null when the class is not available.
  ComPtr<IExtCmdHost> ExternalCmdHost(int index);

  // Start-up steps (extension_mgr_startup.cc).
  bool PrepareDatabase();
  void LoadInstalledExtensions();
  void RecordExtensionStatistics();
  void RegisterSkinPrefix();
  std::shared_ptr<CExtensionDB> database() const;

  void RegisterInstalled(const ComPtr<IExtensionAgent>& agent);
  InstalledMap InstalledCopy() const;
  std::u16string DataDirectory() const;

  // Constant after construction, cleared by DetachOwner.
  IExtensionMgr* owner_;

  mutable base::CLock listener_lock_;
  std::vector<ListenerEntry> listeners_;  // Guarded by listener_lock_

  mutable base::CLock installed_lock_;
  InstalledMap installed_;  // Guarded by installed_lock_

  mutable base::CLock sink_lock_;
  std::vector<FESinkEntry> fe_sinks_a_;  // Guarded by sink_lock_
  // Front-end sink table B and the background-page event-listener table come with message
  // routing; nothing registers there yet.

  mutable base::CLock cmd_host_lock_;
  std::vector<ComPtr<IExtCmdHost>> cmd_hosts_;  // Guarded by cmd_host_lock_
  // The external command hosts of slots 16 and 17 and the one of class {3C76F1DE-...}.
  ComPtr<IExtCmdHost> external_hosts_[3];  // Guarded by cmd_host_lock_

  mutable base::CLock named_lock_;
  std::map<std::u16string, std::u16string> named_strings_;  // Guarded by named_lock_

  mutable std::mutex state_mutex_;
  std::shared_ptr<CExtensionDB> db_;  // Guarded by state_mutex_; kept for the process
  std::u16string browser_version_;    // Guarded by state_mutex_
  std::u16string user_name_;          // Guarded by state_mutex_
  LONG user_value_ = 0;               // Guarded by state_mutex_

  // Collaborators that do not exist yet and so stay absent, as a failed object creation would
  // leave them: the update tracker, the install guide, the common and menu command hosts, the
  // background cores and the web-view host, and the UI-listener callbacks (CUIExtListener).
};

}  // namespace Logic
