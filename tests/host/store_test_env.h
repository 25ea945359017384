// Shared set-up of the host store tests: a throwaway data root ($HALCY_APPDATA) with the path
// caches reset around it, the module's agent class registered by interface (created from the
// module's objects linked into the test), small helpers to make and read agents, and a child
// process killed with SIGKILL in the middle of its work. Used on the test's main thread.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "extension/extension_agent.h"
#include "platform/object_factory.h"
#include "support/temp_env.h"

namespace host_testing {

class StoreTestEnv {
 public:
  StoreTestEnv();
  ~StoreTestEnv();

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
  bool operator==(const AgentFields&) const = default;
};
void PrintTo(const AgentFields& fields, std::ostream* out);

ComPtr<Logic::IExtensionAgent> MakeAgent(const AgentFields& fields);
AgentFields ReadAgent(Logic::IExtensionAgent* agent);

// Forks a child that runs `child` with its standard output on a pipe (it should write with
// write(2), not stdio, and end with _exit). Once `lines` lines have come, kills it with SIGKILL
// and returns everything it wrote, one entry per line. Fails the test when the child ended by
// itself before.
std::vector<std::string> KillNineAfterLines(size_t lines, const std::function<void()>& child);

}  // namespace host_testing
