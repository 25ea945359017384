// The real plexore-host run as a child process on a data root and registry of its own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace host_testing {

class HostRunTest : public ::testing::Test {
 protected:
  HostRunTest() { std::filesystem::create_directories(Work()); }

  // Runs `command` (a shell command line) from the work folder, so that a relative path would
  // land there, with `env` ("NAME=VALUE ... [wrapper]") before it. Standard error goes to `out`
  // as well unless `merge` is false.
  int Run(const std::string& command, std::string* out = nullptr, const std::string& env = "",
          bool merge = true) {
    std::string ignored;
    return testing_support::RunCommand("cd " + Work() + " && HALCY_APPDATA=" + DataRoot() +
                                           " HALCY_REGISTRY=" + dir_.File("registry.reg") + " " +
                                           env + " " + command,
                                       out ? out : &ignored, merge);
  }
  int Host(const std::string& args, std::string* out = nullptr, const std::string& env = "",
           bool merge = true) {
    return Run(std::string(PLEXORE_HOST) + " " + args, out, env, merge);
  }
  std::string Work() const { return dir_.File("work"); }
  std::string DataRoot() const { return dir_.File("appdata"); }
  std::string DataDirectory() const {
    return DataRoot() + "/halcy/browser/SysData/localextensions";
  }
  std::string Store() const { return DataDirectory() + "/extdb_v2.json"; }
  // A source folder holding `manifest` as its manifest.json (none when empty).
  std::string Source(const std::string& name, const std::string& manifest) {
    const std::string path = dir_.File("sources/" + name);
    std::filesystem::create_directories(path);
    if (!manifest.empty()) testing_support::WriteFileOrDie(path + "/manifest.json", manifest);
    return path;
  }
  // The rows of `list` after its header: id, state, flags, version, name, directory.
  std::vector<std::string> List() {
    std::string out;
    EXPECT_EQ(0, Host("list", &out)) << out;
    std::vector<std::string> rows = testing_support::SplitLines(out);
    if (rows.empty()) return rows;
    EXPECT_EQ("id\tstate\tflags\tversion\tname\tdirectory", rows[0]);
    rows.erase(rows.begin());
    return rows;
  }
  std::string Row(const std::string& id) {
    for (const std::string& row : List()) {
      if (row.starts_with(id + "\t")) return row;
    }
    return "";
  }

  testing_support::ScopedTempDir dir_;
};

}  // namespace host_testing
