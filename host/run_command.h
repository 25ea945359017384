// `plexore-host run`: the browser's start-up as it drives the extension manager. Creates
// CCoExtensionMgr by CLSID through the registry (registering the module first when it is not
// registered), adds a listener on the UI thread, switches the user in, waits for OnFirstReady,
// prints the installed list and each installed extension's front-end summary, uninitializes.
//
// Runs on the host's main thread while `services` runs the browser's threads.
#pragma once

#include <string>

namespace host {

class CHostServices;

// Returns the process exit code: 0 on success, 1 when start-up did not complete.
int RunExtensionManager(CHostServices* services, const std::string& module_path);

}  // namespace host
