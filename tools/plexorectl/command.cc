#include "command.h"

#include <cerrno>
#include <cstring>

namespace plexorectl {

void PrintCommandHelp(const Command& command, std::FILE* out) {
  std::fprintf(out, "usage: plexorectl %s %s\n\n%s.\n", command.name, command.usage,
               command.summary);
  if (command.details[0]) std::fprintf(out, "\n%s", command.details);
}

int UsageError(const Command& command, const std::string& message) {
  std::fprintf(stderr, "plexorectl %s: %s\nusage: plexorectl %s %s\n", command.name,
               message.c_str(), command.name, command.usage);
  return kExitUsage;
}

bool IsHelpRequest(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

bool ReadInput(const std::string& path, std::string* bytes, std::string* error) {
  const bool from_stdin = path == "-";
  std::FILE* file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
  const std::string name = from_stdin ? "standard input" : "'" + path + "'";
  if (!file) {
    *error = "cannot open " + name + ": " + std::strerror(errno);
    return false;
  }
  char buffer[64 * 1024];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes->append(buffer, count);
  const bool ok = !std::ferror(file);
  if (!ok) *error = "cannot read " + name + ": " + std::strerror(errno);
  if (!from_stdin) std::fclose(file);
  return ok;
}

bool WriteOutput(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
         std::fflush(stdout) == 0;
}

}  // namespace plexorectl
