#include "tool_runner.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace plexore_test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// `text` as one word for /bin/sh, byte for byte.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input) {
  ToolResult result;
  // Files rather than pipes: the child can never block on a full pipe that nobody reads.
  char pattern[] = "/tmp/tool_runner.XXXXXX";
  if (!mkdtemp(pattern)) return result;
  const std::string dir = pattern;
  std::string command = Quoted(program);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  command += " <" + dir + "/in >" + dir + "/out 2>" + dir + "/err";
  if (std::ofstream(dir + "/in", std::ios::binary) << input) {
    const int status = std::system(command.c_str());
    // The shell reports a tool killed by a signal as 128 + the signal.
    if (WIFEXITED(status) && WEXITSTATUS(status) < 128) result.exit_code = WEXITSTATUS(status);
    result.out = ReadFile(dir + "/out");
    result.err = ReadFile(dir + "/err");
  }
  std::filesystem::remove_all(dir);
  return result;
}

}  // namespace plexore_test
