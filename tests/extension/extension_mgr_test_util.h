// Helpers of the extension-manager tests: a fixture with the browser environment (a throwaway
// browser directory and data root), the test host's threads and the recording fakes, and the
// files a test lays out (built-in set, database file, converter stand-in). Used on the test's
// main thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "extension/extension_mgr.h"
#include "extension/extension_mgr_fakes.h"
#include "extension/extension_test_util.h"
#include "support/test_host.h"

namespace extension_testing {

class ExtensionMgrFixture : public ::testing::Test {
 protected:
  // Registers the fakes as they are then (null members are registered as absent).
  void InstallFakes() { scoped_ = std::make_unique<ScopedFakes>(fakes_); }
  void TearDown() override;

  // A new manager through the module's class table.
  ComPtr<Logic::IExtensionMgr> NewMgr();
  // A recording listener added on the thread of `kind`.
  ComPtr<RecordingListener> ListenOn(Logic::IExtensionMgr* mgr, int kind);
  // Switches the user in and waits until `listener` holds `events` events.
  void SwitchAndWait(Logic::IExtensionMgr* mgr, RecordingListener* listener, size_t events);

  // Native paths of the data root's "SysData/localextensions" and of the built-in set.
  std::string UserExtensionsDir() const;
  std::string BuiltInDir() const;
  // The Windows-style extension data directory ("\" separators), as the manager reports it.
  std::u16string DataDirectoryText() const;
  // Creates an empty database file, so that start-up does not seed.
  void CreateDatabaseFile();
  // Writes the built-in set: one directory with a manifest per record, the store file, and
  // the version file when `db_version` is not empty.
  void WriteBuiltInSet(const std::vector<StoreRecord>& records, const std::string& db_version,
                       const std::string& data_version);
  // Installs `script` as the converter "Pellwick.exe" in the browser directory.
  void WriteConverter(const std::string& script);
  void PutRecords(const std::vector<StoreRecord>& records);

  BrowserEnvironment env_;
  testing_support::TestHost host_;
  FakeServices fakes_;
  std::unique_ptr<ScopedFakes> scoped_;  // destroyed before the host
};

StoreRecord Record(const std::u16string& id, LONG state = 1, LONG flags = 0);
std::u16string Text(BSTR text);

}  // namespace extension_testing
