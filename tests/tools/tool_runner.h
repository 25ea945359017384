// Runs a built command-line tool as a child process for tests: arguments in, standard input
// from a string, standard output, standard error and the exit code out.
//
// Thread safety: each call is independent; safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace plexore_test {

struct ToolResult {
  int exit_code = -1;  // -1 when the tool did not exit normally (or could not be started).
  std::string out;
  std::string err;
};

// Runs `program` with `args`, feeding it `input` on standard input, and waits for it to end.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = "");

}  // namespace plexore_test
