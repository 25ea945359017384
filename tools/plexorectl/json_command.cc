// plexorectl json [FILE]: reads FILE (or standard input) as a UTF-8 JSON file is read, and
// writes the value back as compact JSON in UTF-8, exactly as the system would store it.

#include <string>
#include <vector>

#include "command.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "json/utf8_text.h"

namespace plexorectl {
namespace {

int RunJson(const std::vector<std::string>& args);

}  // namespace

extern const Command kJsonCommand = {
    "json",
    "[FILE]",
    "Read JSON and write it back compactly, as the extension system stores it",
    "Reads FILE, or standard input when FILE is missing or '-', as UTF-8 (a leading\n"
    "byte-order mark is dropped, ill-formed bytes become U+FFFD) and writes the value as\n"
    "compact JSON in UTF-8 followed by a newline: members in key order, numbers with 6\n"
    "significant digits, '/' escaped. Text after the first complete value is ignored.\n"
    "\n"
    "Exit status: 0 when the text was read, 1 with \"invalid JSON\" on standard error when it\n"
    "was not (or the file could not be read), 2 for a wrong command line.\n",
    RunJson,
};

namespace {

int RunJson(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kJsonCommand, stdout);
    return kExitOk;
  }
  if (args.size() > 1) return UsageError(kJsonCommand, "too many arguments");
  const std::string path = args.empty() ? "-" : args[0];
  if (path.size() > 1 && path[0] == '-') return UsageError(kJsonCommand, "unknown option " + path);

  std::string bytes, error;
  if (!ReadInput(path, &bytes, &error)) {
    std::fprintf(stderr, "plexorectl json: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::unique_ptr<Logic::CJsonValue> value = Logic::ParseJsonUtf8(bytes);
  if (!value) {
    std::fputs("invalid JSON\n", stderr);
    return kExitFailure;
  }
  if (!WriteOutput(Logic::EncodeUtf16ToUtf8(Logic::ToJsonString(*value)) + "\n")) {
    std::fputs("plexorectl json: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace
}  // namespace plexorectl
