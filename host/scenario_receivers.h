// The receivers of the scenario player (`plexore-host run --scenario`): stand-ins for the
// browser parts that receive messages from the extension system, each printing one JSON line
// per message on standard output:
//   the front end (IFrontEndSinkService)      {"to":"fe","ext":"ID","name":"...","payload":"..."}
//   the extension-DLL process (IExtensionDllHostService)
//                                            {"to":"dll","type":"0x07000011","params":[...]}
//   background cores (IExtWebViewService)     {"to":"ID","via":"core","name":"...","payload":"..."}
//   the install guide's pop-up (IGuildPopup)  {"to":"popup","text":"..."} (host/guild_popup.h)
// The web-view service hands out recording cores for the background pages the manager starts.
//
// Free-threaded: each line is written whole under the output's lock, so lines from different
// threads never interleave; lines of one receiver come out in its delivery order.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/service_registrations.h"
#include "host/ui_call_log.h"
#include "platform/com.h"
#include "platform/win_types.h"

namespace host {

// One line at a time to a stdio stream.
class CScenarioOutput {
 public:
  explicit CScenarioOutput(FILE* out) : out_(out) {}
  // Writes `line` and a newline, then flushes, under the lock.
  void WriteLine(const std::string& line);

 private:
  std::mutex lock_;
  FILE* const out_;  // Constant after construction
};

// Registers the four receivers with the object factory for its lifetime, putting back what was
// registered before when it goes. `output` must outlive it.
class CScenarioReceivers {
 public:
  explicit CScenarioReceivers(CScenarioOutput* output);
  ~CScenarioReceivers();
  CScenarioReceivers(const CScenarioReceivers&) = delete;
  CScenarioReceivers& operator=(const CScenarioReceivers&) = delete;

 private:
  CServiceRegistrations registrations_;  // withdrawn when the receivers go
};

}  // namespace host
