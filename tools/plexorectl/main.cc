// plexorectl: a command-line window onto the data formats of the extension system.
//
//   plexorectl <command> [arguments]     run a subcommand
//   plexorectl --help                    list the subcommands
//
// Exit status: 0 done, 1 unreadable or invalid input, 2 wrong command line.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"

// The subcommands, one line each: X(Name) refers to `kNameCommand`, defined in
// <name>_command.cc (which is also listed in CMakeLists.txt).
#define PLEXORECTL_COMMANDS(X) \
  X(Json)                      \
  X(Url)                       \
  X(Pattern)                   \
  X(Permission)                \
  X(Manifest)                  \
  X(Version)                   \
  X(Ipc)                       \
  X(Zip)

namespace plexorectl {

#define PLEXORECTL_DECLARE_COMMAND(Name) extern const Command k##Name##Command;
PLEXORECTL_COMMANDS(PLEXORECTL_DECLARE_COMMAND)
#undef PLEXORECTL_DECLARE_COMMAND

namespace {

#define PLEXORECTL_COMMAND_ENTRY(Name) &k##Name##Command,
const Command* const kCommands[] = {PLEXORECTL_COMMANDS(PLEXORECTL_COMMAND_ENTRY)};
#undef PLEXORECTL_COMMAND_ENTRY

void PrintToolHelp(std::FILE* out) {
  std::fputs(
      "usage: plexorectl <command> [arguments]\n\n"
      "Inspects the data formats of the extension system.\n\ncommands:\n",
      out);
  for (const Command* command : kCommands) {
    const std::string synopsis = std::string(command->name) + " " + command->usage;
    std::fprintf(out, "  %-24s %s\n", synopsis.c_str(), command->summary);
  }
  std::fputs("\nRun 'plexorectl <command> --help' for the details of one command.\n", out);
}

const Command* FindCommand(const char* name) {
  for (const Command* command : kCommands) {
    if (std::strcmp(command->name, name) == 0) return command;
  }
  return nullptr;
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    PrintToolHelp(stderr);
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "-h" || first == "--help" || first == "help") {
    PrintToolHelp(stdout);
    return kExitOk;
  }
  const Command* command = FindCommand(argv[1]);
  if (!command) {
    std::fprintf(stderr, "plexorectl: unknown command '%s'\n\n", argv[1]);
    PrintToolHelp(stderr);
    return kExitUsage;
  }
  return command->run(std::vector<std::string>(argv + 2, argv + argc));
}

}  // namespace
}  // namespace plexorectl

int main(int argc, char** argv) { return plexorectl::Main(argc, argv); }
