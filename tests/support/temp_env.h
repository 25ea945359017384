// Test helpers for files and environment: a temporary directory removed at scope exit, and an
// environment variable set for the scope. Used on the test's main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::string ReadFileOrEmpty(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& contents);

// Runs a command line through /bin/sh; returns its exit code and captures stdout (and stderr
// when `merge_stderr`).
int RunCommand(const std::string& command, std::string* output, bool merge_stderr = false);

// The lines of `text`, without their line feeds.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace testing_support
