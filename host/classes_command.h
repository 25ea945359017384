// `plexore-host classes`: activates each of the module's twelve classes by CLSID through the
// registry, queries the interfaces it lists, prints one line per class and, after releasing
// everything, the module's DllCanUnloadNow answer.
#pragma once

namespace host {
// Returns the process exit code: 0 when every class was created and answered every interface
// and the module can unload afterwards.
int RunClassesCommand();
}  // namespace host
