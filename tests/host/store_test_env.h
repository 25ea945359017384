// A throwaway data root ($HALCY_APPDATA) for the in-process store tests, with the path caches
// reset around it and the module's agent class registered by interface (created from the
// module's objects linked into the test). Used on the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "module/module.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "support/temp_env.h"

namespace host_testing {

class StoreTestEnv {
 public:
  StoreTestEnv() : appdata_("HALCY_APPDATA", dir_.path()) {
    Logic::ResetPathCachesForTesting();
    halcy::CreatableClass agents;
    agents.create = [](REFIID iid, void** out) {
      return Logic::CreateClassInstance(2, nullptr, iid, out);  // CCoExtensionAgent
    };
    previous_agent_class_ = halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, agents);
  }
  ~StoreTestEnv() {
    halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, previous_agent_class_);
    Logic::ResetPathCachesForTesting();
  }

  // The native path of `name` inside the system data directory, as the module computes it.
  std::string SystemDataFile(const std::string& name) const {
    std::u16string path;
    EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
    return halcy::ToNativePath(path) + name;
  }

 private:
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv appdata_;
  halcy::CreatableClass previous_agent_class_;
};

}  // namespace host_testing
