// Loading libplexore.so and calling its entry points, for the host's subcommands.
// Used on the host's main thread.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace host {

// The module beside the running executable, or $HALCY_MODULE when set.
std::string DefaultModulePath();

// Loads the library (DllMain runs for process attach) and calls the named entry point that
// takes no arguments, returning its HRESULT through `result`. False with a message on stderr
// when the library or the entry point is missing.
bool CallModuleEntry(const std::string& module_path, const char* entry, HRESULT* result);

}  // namespace host
