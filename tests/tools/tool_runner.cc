#include "tool_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace plexore_test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

}  // namespace

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input) {
  ToolResult result;
  // Files rather than pipes: the child can never block on a full pipe that nobody reads.
  char pattern[] = "/tmp/tool_runner.XXXXXX";
  if (!mkdtemp(pattern)) return result;
  const std::string dir = pattern;
  const std::string in_path = dir + "/in", out_path = dir + "/out", err_path = dir + "/err";
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
  const bool written = static_cast<bool>(std::ofstream(in_path, std::ios::binary) << input);
  pid_t pid;
  int status = 0;
  if (written && posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0 &&
      waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = ReadFile(out_path);
    result.err = ReadFile(err_path);
  }
  posix_spawn_file_actions_destroy(&actions);
  std::filesystem::remove_all(dir);
  return result;
}

}  // namespace plexore_test
