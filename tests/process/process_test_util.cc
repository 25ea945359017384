#include "process/process_test_util.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/strings.h"
#include "platform/threads.h"
#include "process/test_child.h"

namespace process_testing {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ChildLogFile::ChildLogFile()
    : path_(dir_.File("child.log")), env_("PLEXORE_TEST_CHILD_LOG", path_) {}

std::vector<std::string> ChildLogFile::Lines() const { return ReadChildLog(path_); }

std::vector<int> ChildLogFile::Starts() const {
  std::vector<int> pids;
  for (const std::string& line : Lines()) {
    if (line.rfind("start ", 0) == 0) pids.push_back(std::atoi(line.c_str() + 6));
  }
  return pids;
}

std::vector<std::string> ChildLogFile::LinesOf(int pid) const {
  const std::string prefix = std::to_string(pid) + " ";
  std::vector<std::string> out;
  for (const std::string& line : Lines()) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

bool ChildLogFile::WaitForLines(int pid, size_t count) const {
  return WaitUntil([&] { return LinesOf(pid).size() >= count; });
}

int ChildLogFile::WaitForStart(size_t count) const {
  int pid = 0;
  WaitUntil([&] {
    const std::vector<int> starts = Starts();
    if (starts.size() < count) return false;
    pid = starts[count - 1];
    return true;
  });
  return pid;
}

bool ProcessGone(int pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

void RecordingOwner::Add(const char* where, const Logic::CDllMessage& message) {
  char type[16];
  std::snprintf(type, sizeof(type), "0x%08X", message.type);
  std::string line = std::string(where) + " " + type + " ";
  for (size_t i = 0; i < message.values.size(); ++i) {
    const IPC::MessageValue& v = message.values[i];
    if (i) line += "|";
    line +=
        v.type == IPC::ValueType::kString ? halcy::Utf16ToUtf8(v.text) : std::to_string(v.number);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(line);
}

void RecordingOwner::OnDllMessage(const Logic::CDllMessage& message) {
  Add(GetCurrentThreadId() == manager_thread_ ? "manager" : "manager?", message);
}

void RecordingOwner::OnDllMessageInUIThread(const Logic::CDllMessage& message) {
  Add(GetCurrentThreadId() == ui_thread_ ? "ui" : "ui?", message);
}

void RecordingOwner::OnDllProcessChannelError() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(GetCurrentThreadId() == manager_thread_ ? "error" : "error?");
}

std::vector<std::string> RecordingOwner::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

}  // namespace process_testing
