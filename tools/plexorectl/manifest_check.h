// The manifest checker behind `plexorectl manifest --check DIR`: everything about an
// extension's manifest.json that the extension manager would refuse, ignore or quietly replace
// by a default, found before the extension is installed. Each problem names the key it is
// about ("permissions[2]", "toolbarui.icongroup.normal", or "manifest.json" for the file as a
// whole) and says what is wrong in one sentence.
//
//   for (const ManifestProblem& p : CheckExtensionDirectory("/src/myext")) {
//     std::printf("%s: %s\n", p.key.c_str(), p.problem.c_str());
//   }
//
// Reads the manifest with the module's JSON reader and checks values with the module's own
// accelerator parser, URL pattern parser, permission group table and manifest path rules, so
// a clean result means the manager takes every key as written.
//
// Single-threaded use; no state between calls.
#pragma once

#include <string>
#include <vector>

namespace plexorectl {

struct ManifestProblem {
  std::string key;      // where: "name", "permissions[1]", "contextmenu[0].iconpath"
  std::string problem;  // what, one sentence without a final full stop
};

// Checks DIR/manifest.json and the files it names below `directory`. An unreadable, oversized
// or malformed manifest gives one problem with the key "manifest.json".
std::vector<ManifestProblem> CheckExtensionDirectory(const std::string& directory);

// The known key nearest to `key` when it looks like a typo of it (a small edit distance,
// letter case included), else "". `known` lists the candidates.
std::string NearestKey(const std::string& key, const std::vector<std::string>& known);

// "KEY: PROBLEM\n" per problem.
std::string FormatProblemsAsText(const std::vector<ManifestProblem>& problems);

// A JSON array of {"key":...,"problem":...} objects and a newline.
std::string FormatProblemsAsJson(const std::vector<ManifestProblem>& problems);

}  // namespace plexorectl
