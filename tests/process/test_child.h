// The extension process of the process tests: process_test itself, started by the DLL host as
// `"<exe>" --channel=ID --type=BrindleProcess` (the host launches the running executable). It
// speaks the wire format with a plain socket, so that what the host sends is seen as bytes,
// and appends one line per event to the file named by PLEXORE_TEST_CHILD_LOG:
//
//   start <pid> <argv[1]> <argv[2]> fds=<open descriptors, comma-separated>
//   <pid> hello                          the server's hello
//   <pid> 0x07000001 <value> <value>     any other message, its values in order (the shapes
//                                        of the messages to the child; "+N" for bytes left)
//   <pid> exit <how>                     shutdown (type 2), closed, gone (mute), ...
//
// PLEXORE_TEST_CHILD_MODE=mute makes it never connect: it waits until the pipe's name is gone
// (or 20 s) and exits; "hang" makes it sleep a minute, whatever happens. On 0x07000008 named
// "test.send" it sends the message its payload describes, "TYPE|s:text|i:5|l:7" (hex type, then
// string, int and int64 values).
#pragma once

#include <string>
#include <vector>

namespace process_testing {

// When argv asks for the extension process, runs it and returns its exit status; else -1.
int RunTestChildIfAsked(int argc, char** argv);

// The lines of the child log at `path` (empty when there is none yet).
std::vector<std::string> ReadChildLog(const std::string& path);

}  // namespace process_testing
