// `plexore-host run`: the browser's start-up as it drives the extension manager. Creates
// CCoExtensionMgr by CLSID through the registry (registering the module first when it is not
// registered), adds a listener on the UI thread, switches the user in, waits for OnFirstReady,
// prints the installed list and each installed extension's front-end summary, uninitializes.
// With a scenario it plays the scenario instead of printing the summaries.
//
// Runs on the host's main thread while `services` runs the browser's threads.
#pragma once

#include <string>

namespace host {

class CHostServices;

// Returns the process exit code: 0 on success, 1 when start-up did not complete. With a
// non-empty `scenario_path` the scenario is played after start-up (host/scenario.h) and only
// the delivered messages are printed; 2 for a scenario that cannot be read or is refused.
int RunExtensionManager(CHostServices* services, const std::string& module_path,
                        const std::string& scenario_path = std::string());

}  // namespace host
