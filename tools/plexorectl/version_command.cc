// plexorectl version A B: compares two version texts as the extension system does.

#include <string>
#include <vector>

#include "command.h"
#include "common/version.h"
#include "json/utf8_text.h"

namespace plexorectl {
namespace {

int RunVersion(const std::vector<std::string>& args);

}  // namespace

extern const Command kVersionCommand = {
    "version",
    "A B",
    "Compare two dotted version texts",
    "Writes -1, 0 or 1 as A is lower than, equal to or higher than B. Both texts are trimmed,\n"
    "stripped of blanks and of leading and trailing dots; then they compare equal when they\n"
    "are the same text without regard to case, and otherwise component by component as\n"
    "decimal numbers (leading digits only; a missing component counts as 0). So 1.2 equals\n"
    "1.2.0.0, 10.0 is higher than 9.9, and 1.2.3a equals 1.2.3.\n"
    "\n"
    "Exit status: 0 when the result was written, 2 for a wrong command line.\n",
    RunVersion,
};

namespace {

int RunVersion(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kVersionCommand, stdout);
    return kExitOk;
  }
  if (args.size() != 2) return UsageError(kVersionCommand, "needs exactly two versions");
  const int order =
      Logic::CompareVersion(Logic::DecodeUtf8ToUtf16(args[0]), Logic::DecodeUtf8ToUtf16(args[1]));
  const char* text = order < 0 ? "-1\n" : order > 0 ? "1\n" : "0\n";
  if (!WriteOutput(text)) {
    std::fputs("plexorectl version: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace
}  // namespace plexorectl
