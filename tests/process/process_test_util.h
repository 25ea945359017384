// Helpers of the process tests, used on the test's main thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace process_testing {

// True once `done` holds (checked every few milliseconds), false after `limit`.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// The processes whose parent is this one, ended but not yet reaped ones included.
std::vector<int> Children();

// Waits until this process has one child, other than `not_this`; its pid, or 0.
int WaitForOnlyChild(int not_this = 0);

// For its life, standard output goes to a file and PLEXORE_SCENARIO_OUTPUT=1 is set, so that the
// extension processes started meanwhile print there each message they receive (one JSON line,
// host/dll_messages.h). Other lines are copied back to standard output at the end.
class ChildOutput {
 public:
  ChildOutput();
  ~ChildOutput();
  // The lines {"to":"dll",...} so far, or with `others` the other lines.
  std::vector<std::string> Messages(bool others = false) const;

 private:
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv env_{"PLEXORE_SCENARIO_OUTPUT", "1"};
  int saved_ = -1;
};

// The children started meanwhile run the stand-in of main.cc, which reports to `file`.
struct StandInChildren {
  testing_support::ScopedTempDir dir;
  const std::string file = dir.File("report");
  testing_support::ScopedEnv env{"PLEXORE_TEST_CHILD_LOG", file};
};

}  // namespace process_testing
