// plexorectl pattern PATTERN [URL...]: parses a URL match pattern as a permission set does
// (every scheme allowed) and tells, for each URL, whether the pattern matches it.

#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "url/parsed_url.h"
#include "url/url_pattern.h"

namespace plexorectl {
namespace {

int RunPattern(const std::vector<std::string>& args);

}  // namespace

extern const Command kPatternCommand = {
    "pattern",
    "PATTERN [URL...]",
    "Parse a URL match pattern and match URLs against it",
    "Parses PATTERN with every scheme allowed, as permission sets do, and writes the result\n"
    "as \"<code> <text>\" (for example \"0 Success.\" or \"6 Empty path.\"). Then writes one\n"
    "line per URL, \"match\" or \"no match\"; a pattern that does not parse matches nothing.\n"
    "\n"
    "Exit status: 0 when the pattern parsed, 1 when it did not, 2 for a wrong command line.\n",
    RunPattern,
};

namespace {

int RunPattern(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kPatternCommand, stdout);
    return kExitOk;
  }
  if (args.empty()) return UsageError(kPatternCommand, "no pattern given");
  burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
  const burl::URLPattern::ParseResult result = pattern.Parse(args[0]);
  const bool parsed = result == burl::URLPattern::PARSE_SUCCESS;
  std::string output = std::to_string(static_cast<int>(result)) + " " +
                       burl::URLPattern::GetParseResultString(result) + "\n";
  for (size_t i = 1; i < args.size(); ++i) {
    const bool matches = parsed && pattern.MatchesUrl(burl::ParsedUrl(std::string_view(args[i])));
    output += matches ? "match\n" : "no match\n";
  }
  if (!WriteOutput(output)) {
    std::fputs("plexorectl pattern: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return parsed ? kExitOk : kExitFailure;
}

}  // namespace
}  // namespace plexorectl
