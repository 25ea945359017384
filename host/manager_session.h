// CManagerSession: the browser's side of one session with the extension manager, as the host's
// commands need it. Start creates CCoExtensionMgr by CLSID through the registry (registering the
// module first when the class is not registered), publishes the module's own service objects,
// adds a listener on the UI thread, switches the user in and waits for OnFirstReady. Stop
// uninitializes the manager; the destructor stops a session that is still running.
//
// Used from the host's main thread while CHostServices runs the browser's threads. The
// listener's callbacks arrive on the UI thread; its accessors may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "extension/extension_mgr.h"
#include "extension/extension_mgr_listener.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace host {

class CHostServices;
class CModuleServices;

// Start-up of 1 000 extensions and every management operation take well under a second; this
// bound only keeps a broken manager from hanging a command.
inline constexpr std::chrono::seconds kManagerLimit{20};

// The browser's listener: the installed list, the end of start-up and the state broadcasts.
// Once given a printer (during a scenario), it also hands it every callback it receives as one
// line, {"to":"listener","call":"OnDllProcessState","args":[true]}.
class CSessionListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(CSessionListener)
  HALCY_INTERFACE(CSessionListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override;
  HRESULT OnLocalExtensionList(BSTR extension_ids) override;
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL running) override;
  HRESULT OnExtensionStateChanged(BSTR extension_id, LONG state) override;

  // From now on every callback is also printed through `printer` (null: no longer).
  void SetCallbackPrinter(std::function<void(const std::string&)> printer);

  // True when OnFirstReady arrived within `limit`; `list` is the last list broadcast.
  bool WaitReady(std::chrono::seconds limit, bool* has_list, std::u16string* list);
  // True when OnExtensionStateChanged(extension_id, state) arrived within `limit`, counting
  // broadcasts received since the call to MarkStateChanges.
  void MarkStateChanges();
  bool WaitStateChange(const std::u16string& extension_id, LONG state, std::chrono::seconds limit);

 private:
  struct StateChange {
    std::u16string id;
    LONG state;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;                               // Guarded by mutex_
  bool has_list_ = false;                            // Guarded by mutex_
  std::u16string list_;                              // Guarded by mutex_
  std::vector<StateChange> changes_;                 // Guarded by mutex_
  size_t mark_ = 0;                                  // Guarded by mutex_
  std::function<void(const std::string&)> printer_;  // Guarded by mutex_

  // Prints `call` with its JSON-written `args` when a printer is set; no lock held meanwhile.
  void Print(const char* call, const std::string& args);
};

class CManagerSession {
 public:
  explicit CManagerSession(CHostServices* services);
  ~CManagerSession();
  CManagerSession(const CManagerSession&) = delete;
  CManagerSession& operator=(const CManagerSession&) = delete;

  // Creates the manager and switches the user in. False, after a message on standard error,
  // when the manager cannot be created or start-up does not complete within kManagerLimit.
  bool Start(const std::string& module_path);
  // Uninitializes the manager (once).
  void Stop();

  Logic::IExtensionMgr* mgr() const { return mgr_.Get(); }
  CSessionListener* listener() const { return listener_.Get(); }
  // The ids of the last OnLocalExtensionList; `broadcast` false when none came.
  const std::u16string& startup_list() const { return startup_list_; }
  bool startup_list_broadcast() const { return has_list_; }

 private:
  CHostServices* services_;
  ComPtr<Logic::IExtensionMgr> mgr_;
  std::unique_ptr<CModuleServices> module_services_;
  ComPtr<CSessionListener> listener_;
  std::u16string startup_list_;
  bool has_list_ = false;
  bool started_ = false;
};

// The agent's directory with a leading "hcextdbpath/" made absolute, as the manager reads it.
std::u16string ResolvedDirectory(Logic::IExtensionMgr* mgr, Logic::IExtensionAgent* agent);

// Splits a comma-separated id list; empty items are skipped.
std::vector<std::u16string> SplitIds(const std::u16string& list);

}  // namespace host
