// Helpers of the process tests: the child's log in a throwaway folder, condition waits, the
// lines of one child process, and a recording owner for the DLL host. Used on the test's main
// thread; the owner is free-threaded.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "process/dll_interaction_process_host.h"
#include "support/temp_env.h"

namespace process_testing {

// True once `done` holds (checked every few milliseconds), false after `limit`.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// A child log in a temporary folder, named to children through PLEXORE_TEST_CHILD_LOG.
class ChildLogFile {
 public:
  ChildLogFile();
  const std::string& path() const { return path_; }
  std::vector<std::string> Lines() const;
  // The pids of the children that started, in order.
  std::vector<int> Starts() const;
  // The lines child `pid` wrote after its start line, without the pid.
  std::vector<std::string> LinesOf(int pid) const;
  // Waits until child `pid` has written `count` lines after its start line.
  bool WaitForLines(int pid, size_t count) const;
  // Waits until `count` children have started; returns the last one's pid (0 on time-out).
  int WaitForStart(size_t count) const;

 private:
  testing_support::ScopedTempDir dir_;
  std::string path_;
  testing_support::ScopedEnv env_;
};

// True when no process `pid` exists any more (ended and reaped).
bool ProcessGone(int pid);

// Records what a DLL host hands on, with the thread kind it arrived on.
class RecordingOwner : public Logic::IDllInteractionOwner,
                       public base::CRefCountedThreadSafe<RecordingOwner> {
 public:
  RecordingOwner(DWORD ui_thread, DWORD manager_thread)
      : ui_thread_(ui_thread), manager_thread_(manager_thread) {}
  void AddRef() const override { base::CRefCountedThreadSafe<RecordingOwner>::AddRef(); }
  void Release() const override { base::CRefCountedThreadSafe<RecordingOwner>::Release(); }
  void OnDllMessage(const Logic::CDllMessage& message) override;
  void OnDllMessageInUIThread(const Logic::CDllMessage& message) override;
  void OnDllProcessChannelError() override;

  // "manager 0x07000010 ext|cmd|{}|7", "ui 0x07000005 ...", "error"; a call that arrived on
  // the wrong thread is marked "manager?" or "ui?" (or "error?").
  std::vector<std::string> Calls() const;

 private:
  friend class base::CRefCountedThreadSafe<RecordingOwner>;
  ~RecordingOwner() override = default;
  void Add(const char* where, const Logic::CDllMessage& message);

  const DWORD ui_thread_;
  const DWORD manager_thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;  // Guarded by mutex_
};

}  // namespace process_testing
