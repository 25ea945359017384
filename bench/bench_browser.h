// The throwaway browser environment that the extension-manager benchmarks run in: a temporary
// folder that is both the data root ($HALCY_APPDATA) and the browser directory
// ($HALCY_BROWSER_DIR), and the module's agent class creatable through the object factory (the
// store makes agents that way).
//
// Call from the benchmark's main thread before the browser's services start.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <utility>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"

namespace bench_support {

// Returns the new folder; aborts when it cannot be made.
inline std::string PrepareThrowawayBrowser(const char* prefix) {
  std::string root =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (!mkdtemp(root.data())) abort();
  setenv("HALCY_APPDATA", root.c_str(), 1);
  setenv("HALCY_BROWSER_DIR", root.c_str(), 1);
  Logic::ResetPathCachesForTesting();
  halcy::CreatableClass agents;
  agents.create = [](REFIID iid, void** out) {
    return halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, iid, out);
  };
  halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, std::move(agents));
  return root;
}

inline void RemoveThrowawayBrowser(const std::string& root) {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

}  // namespace bench_support
