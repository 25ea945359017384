// The extension-manager fixture: a throwaway browser directory and data root, the test host's
// threads with the host's own services and the module's permission manager, the module's
// agent class, recorders for the DLL host, background cores, command hosts and the front end
// (one journal), and helpers for the files a test lays out and reads back. Used on the test's
// main thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_fakes.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_test_util.h"
#include "extension/routing_fakes.h"
#include "host/extension_store.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace extension_testing {

using StoreRecord = host::ExtensionRecord;

// A record with a directory below the data directory and a small manifest.
StoreRecord Record(const std::u16string& id, LONG state = 1, LONG flags = 0);
// The database text holding `records`.
std::string StoreText(const std::vector<StoreRecord>& records);

class ExtensionMgrFixture : public ::testing::Test {
 protected:
  ExtensionMgrFixture();
  void TearDown() override { EXPECT_TRUE(host_.WaitIdle()); }

  // Writes the database holding `records` (and a directory for each) unless `database` is
  // false, starts a manager with a listener on the thread of `listener_kind`, waits for its
  // first broadcast (`events` events), then points its DLL-host slot at the journal.
  void Start(const std::vector<StoreRecord>& records, int listener_kind = Thread::kThreadUI,
             bool database = true, size_t events = 2);
  Logic::CExtensionMgrImpl* impl() const {
    return static_cast<Logic::CCoExtensionMgr*>(mgr_.Get())->impl();
  }

  // The agent of an installed extension of mgr_ (null when there is none).
  ComPtr<Logic::IExtensionAgent> Agent(const std::u16string& id);
  // A new manager through the module's class table.
  ComPtr<Logic::IExtensionMgr> NewMgr();
  // A recording listener, with a journal of its own, added on the thread of `kind`.
  ComPtr<RecordingCore> ListenOn(Logic::IExtensionMgr* mgr, int kind);
  // Switches the user in and waits until `listener` holds `events` events.
  void SwitchAndWait(Logic::IExtensionMgr* mgr, RecordingCore* listener, size_t events);

  // A recording core for `extension_id`, owned by the thread of `owner_kind`.
  ComPtr<RecordingCore> AddCore(const std::u16string& extension_id, int owner_kind,
                                LONG routing_handle = 0);
  ComPtr<RecordingCore> AddCmdHost(const std::u16string& name, HRESULT result);
  // ReceiveFromExtension on the extension-manager thread.
  HRESULT Receive(const std::u16string& extension_id, const std::u16string& command,
                  const std::u16string& arguments = u"{}", LONG request_context = 0);

  // A directory below the data root holding `manifest` as manifest.json (none when null).
  std::u16string ExtensionDir(const std::string& name, const char* manifest);
  // Installs (or updates) `id` from `dir` through mgr_ and waits for the result.
  HRESULT Install(const std::u16string& id, const std::u16string& dir, LONG state = 1,
                  bool update = false);

  // The database file as start-up will find it.
  void PutRecords(const std::vector<StoreRecord>& records);
  // The records in the database file now.
  host::ExtensionRecords StoredRecords();
  // The native path of the data root's "SysData/localextensions".
  std::string UserExtensionsDir() const;
  // The same directory Windows-style ("\" separators), as the manager reports it.
  std::u16string DataDirectoryText() const;
  // Installs `script` as the converter "Pellwick.exe" in the browser directory.
  void WriteConverter(const std::string& script);
  // The lines the host's statistics service wrote, each without its time: {"category":...}.
  std::vector<std::string> StatisticsLines() const;

  BrowserEnvironment env_;
  testing_support::TestHost host_;
  host::CServiceRegistrations registrations_;  // restored before the host goes
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<RecordingCore> listener_;
};

}  // namespace extension_testing
