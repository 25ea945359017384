// The subcommand interface of plexorectl and the helpers every subcommand shares: help and
// usage messages, exit codes, reading the input file or standard input.
//
// A subcommand is a `Command` constant defined in its own <name>_command.cc and listed once in
// the table in main.cc. Single-threaded: the tool runs one command on its main thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace plexorectl {

inline constexpr int kExitOk = 0;       // Done.
inline constexpr int kExitFailure = 1;  // The input was unreadable or invalid.
inline constexpr int kExitUsage = 2;    // The command line was wrong.

struct Command {
  const char* name;     // As typed: "json".
  const char* usage;    // Arguments after the name: "[FILE]".
  const char* summary;  // One line for the command list.
  const char* details;  // The rest of the command's help text.
  // Runs the command; `args` are the words after the command name. Returns the exit code.
  int (*run)(const std::vector<std::string>& args);
};

// Writes "usage: plexorectl NAME USAGE", the summary and the details to `out`.
void PrintCommandHelp(const Command& command, std::FILE* out);

// Writes "plexorectl NAME: MESSAGE" and the usage line to standard error; returns kExitUsage.
int UsageError(const Command& command, const std::string& message);

// True when `args` ask for help (-h or --help anywhere).
bool IsHelpRequest(const std::vector<std::string>& args);

// Reads the whole of `path` ("-" for standard input) as bytes. On failure returns false and
// sets `error` to a message that names the file and the reason.
bool ReadInput(const std::string& path, std::string* bytes, std::string* error);

// Writes all of `bytes` to standard output; false when the write failed.
bool WriteOutput(const std::string& bytes);

}  // namespace plexorectl
