#include "process/process_test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace process_testing {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<int> Children() {
  std::vector<int> pids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream file(task.path() / "children");  // zombies included
    for (int pid; file >> pid;) pids.push_back(pid);
  }
  return pids;
}

int WaitForOnlyChild(int not_this) {
  int pid = 0;
  WaitUntil([&] {
    const std::vector<int> pids = Children();
    pid = pids.size() == 1 && pids[0] != not_this ? pids[0] : 0;
    return pid != 0;
  });
  return pid;
}

ChildOutput::ChildOutput() {
  std::fflush(stdout);
  saved_ = dup(1);
  const int file = open(dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  dup2(file, 1);  // inherited: dup2 leaves close-on-exec off
  close(file);
}

ChildOutput::~ChildOutput() {
  std::fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  for (const std::string& line : Messages(true)) std::printf("%s\n", line.c_str());
}

std::vector<std::string> ChildOutput::Messages(bool others) const {
  std::vector<std::string> lines;
  for (const std::string& line :
       testing_support::SplitLines(testing_support::ReadFileOrEmpty(dir_.File("out")))) {
    if ((line.rfind("{\"to\":\"dll\"", 0) == 0) != others) lines.push_back(line);
  }
  return lines;
}

}  // namespace process_testing
