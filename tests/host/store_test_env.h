// Shared set-up of the host store tests: a throwaway data root ($HALCY_APPDATA) with the path
// caches reset around it, the module's agent class registered by interface (created from the
// module's objects linked into the test), and small helpers to make and read agents.
// Used on the test's main thread.
#pragma once

#include <string>

#include "extension/extension_agent.h"
#include "platform/object_factory.h"
#include "support/temp_env.h"

namespace host_testing {

class StoreTestEnv {
 public:
  StoreTestEnv();
  ~StoreTestEnv();

  const testing_support::ScopedTempDir& dir() const { return dir_; }
  // "<data root>SysData\" as the module computes it (Windows-style).
  std::u16string SystemDataDirectory() const;
  // The native path of `name` inside the system data directory.
  std::string SystemDataFile(const std::string& name) const;

 private:
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv appdata_;
  halcy::CreatableClass previous_agent_class_;
};

struct AgentFields {
  std::u16string id;
  LONG state = 1;
  LONG flags = 0;
  std::u16string directory;
  std::u16string manifest;
};

ComPtr<Logic::IExtensionAgent> MakeAgent(const AgentFields& fields);
AgentFields ReadAgent(Logic::IExtensionAgent* agent);

}  // namespace host_testing
