// plexorectl manifest DIR [--id ID] [--state N] [--flags N]: loads DIR's manifest.json into an
// extension record, as the extension manager does, and prints the summary the browser's front
// end receives for it. With --check [--json] it lists the manifest's problems instead
// (manifest_check.h).

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "command.h"
#include "extension/extension.h"
#include "json/utf8_text.h"
#include "manifest_check.h"

namespace plexorectl {
namespace {

int RunManifest(const std::vector<std::string>& args);

}  // namespace

extern const Command kManifestCommand = {
    "manifest",
    "DIR [--id ID] [--state N] [--flags N] | --check [--json] DIR",
    "Print the front-end summary of the extension in DIR, or check its manifest",
    "Reads DIR/manifest.json (UTF-8) into an extension record with the given id (default:\n"
    "DIR's last component), state (default 1) and flags (default 0; bit 0: may not be\n"
    "uninstalled, bit 1: may not be disabled), and writes the summary exactly as the module\n"
    "builds it for the front end, followed by a newline. The icon is inlined as a data\n"
    "address; missing texts read as the browser's IDS_EXTENSION_UNKNOWN string, taken from\n"
    "halcy_strings.txt beside the executable (or in $HALCY_BROWSER_DIR).\n"
    "\n"
    "With --check, writes one line \"KEY: PROBLEM\" for each thing the extension manager\n"
    "would refuse, ignore or replace by a default: unknown keys (with the nearest known key\n"
    "when it looks like a typo), values of the wrong type, versions, accelerators and\n"
    "registry roots that do not parse, files that do not exist, lie outside DIR or pass a\n"
    "symbolic link, permissions that name no group and are not URL patterns, a background\n"
    "page beside a native library, and a manifest over 1 MiB. --json writes them instead as\n"
    "a JSON array of {\"key\":...,\"problem\":...} objects.\n"
    "\n"
    "Exit status: 0 when the summary was written (with --check: no problem found), 1 when\n"
    "manifest.json cannot be read or is not a JSON object (with --check: a problem was\n"
    "found), 2 for a wrong command line.\n",
    RunManifest,
};

namespace {

struct ManifestOptions {
  std::string directory;
  std::string id;
  int state = 1;
  int flags = 0;
  bool check = false;  // --check: list problems instead of printing the summary
  bool json = false;   // --json: the problems as a JSON array
};

bool ParseNumber(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > UINT_MAX) return false;
  *value = static_cast<int>(parsed);  // flags may be given as 0xFFFFFFFF
  return true;
}

std::string LastComponent(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Returns an empty string when the options are fine, else the usage error.
std::string ParseOptions(const std::vector<std::string>& args, ManifestOptions* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--id" || arg == "--state" || arg == "--flags") {
      if (i + 1 >= args.size()) return arg + " needs a value";
      const std::string& value = args[++i];
      if (arg == "--id") {
        options->id = value;
      } else if (!ParseNumber(value, arg == "--state" ? &options->state : &options->flags)) {
        std::string problem = arg;
        problem += " needs a number, not '";
        problem += value;
        problem += "'";
        return problem;
      }
    } else if (arg == "--check" || arg == "--json") {
      (arg == "--check" ? options->check : options->json) = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options->directory.empty()) {
      options->directory = arg;
    } else {
      return "too many arguments";
    }
  }
  if (options->directory.empty()) return "DIR is missing";
  if (options->json && !options->check) return "--json needs --check";
  if (options->id.empty()) options->id = LastComponent(options->directory);
  return std::string();
}

int RunCheck(const ManifestOptions& options) {
  const std::vector<ManifestProblem> problems = CheckExtensionDirectory(options.directory);
  const std::string report =
      options.json ? FormatProblemsAsJson(problems) : FormatProblemsAsText(problems);
  if (!WriteOutput(report)) {
    std::fputs("plexorectl manifest: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return problems.empty() ? kExitOk : kExitFailure;
}

int RunManifest(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kManifestCommand, stdout);
    return kExitOk;
  }
  ManifestOptions options;
  if (std::string problem = ParseOptions(args, &options); !problem.empty()) {
    return UsageError(kManifestCommand, problem);
  }
  if (options.check) return RunCheck(options);
  std::string bytes, error;
  if (!ReadInput(options.directory + "/manifest.json", &bytes, &error)) {
    std::fprintf(stderr, "plexorectl manifest: %s\n", error.c_str());
    return kExitFailure;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  Logic::CExtension extension;
  extension.SetId(Logic::DecodeUtf8ToUtf16(options.id));
  extension.SetState(options.state);
  extension.SetFlags(options.flags);
  extension.SetDirectory(Logic::DecodeUtf8ToUtf16(options.directory));
  if (!extension.SetManifest(Logic::DecodeUtf8ToUtf16(bytes))) {
    std::fputs("plexorectl manifest: manifest.json is not a JSON object\n", stderr);
    return kExitFailure;
  }
  const std::u16string summary =
      extension.BuildSummary(Logic::DecodeUtf8ToUtf16(options.directory), true);
  if (!WriteOutput(Logic::EncodeUtf16ToUtf8(summary) + "\n")) {
    std::fputs("plexorectl manifest: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace
}  // namespace plexorectl
