// The extension-library process: `plexore-host --channel=ID --type=BrindleProcess`, started by
// the extension manager's DLL host. Native extension libraries run here, never in the browser.
//
// At start it closes every descriptor but the standard streams, opens the client end of the
// named pipe ID (whose first message is the hello with this process's id) and then serves the
// manager's messages on one library thread, in arrival order:
//   2           shutdown: unload every library, exit with status 0
//   0x07000001  (string id, string full path): load the library for extension id. The path
//               passes the checks of host/native_library.h; the library must export the three
//               entry points of include/plexore/native_extension.h and its load must return 0.
//               The result goes back as 0x07000014 (id, 1 loaded / 0 failed to load). A second
//               load for an id that is loaded is ignored.
//   0x07000002  (string id): unload that extension's library
//   0x07000006, 0x0700000A, 0x0700000D, 0x0700000F, 0x07000011 (first string: extension id):
//               to that extension's library only
//   0x07000007, 0x07000008, 0x07000012: to every loaded library, in load order
//   0x07000003  to the library whose extension id is its first string when that one is
//               loaded, else to every loaded library
// A message of another type, or whose payload does not match its type's shape exactly, is
// ignored with a log line; a synchronous one is answered with an empty reply once handled, so
// that its sender never waits out a time-out. When the channel closes the process unloads every
// library and exits with status 0 as for a shutdown.
//
// Libraries call back through their plexore_host table: `send` (any thread; see
// host/native_host_table.h for what it refuses) and `log`, which writes "ID: text" to the
// browser's log under the tag "extDll;" at the library's level (clamped to 5..64). The process's
// own lines use the same tag.
//
// With PLEXORE_SCENARIO_OUTPUT=1 in the environment (a scenario is playing) each message of
// the manager (type 0x07000001 and above) is printed on standard output as it is received, as
// the line of host/dll_messages.h.
//
// Exit status: 0 after a shutdown or the end of the channel, 1 when the pipe cannot be opened
// or the threads cannot start, 2 for a command line other than exactly the two switches.
#pragma once

#include <string>
#include <vector>

namespace host {

// True when `argv` (the program name first) asks for the extension-library process: its first
// argument is "--channel=..." or "--type=...".
bool IsDllChildCommandLine(int argc, char** argv);

// The channel id of a command line that is exactly "--channel=ID" and "--type=BrindleProcess",
// in either order, each once, with ID shaped "%d.%08X.%d" (process id, eight upper-case hex
// digits, number); false with the reason otherwise.
bool ParseDllChildArguments(const std::vector<std::string>& args, std::string* channel_id,
                            std::string* error);

// Runs the extension-library process; returns its exit status. For main() only: it closes
// descriptors and owns the process until it returns.
int RunDllChild(int argc, char** argv);

}  // namespace host
