// The browser's log controller, as the log library hands it out with GetLogController().
//
// Configured once per process from $HALCY_LOG:
//   unset                      failures only (level 64 and up) on stderr
//   off                        nothing
//   SINK[:LEVEL[:TAGS]]        SINK is "stderr" or a file path; lines at LEVEL and up; TAGS a
//                              list such as "ext;extMgr;" (only those tags), empty for all
// A line reads "2026-12-05 21:30:01.123 [tid] 37 extMgr; <indent>text", indented two spaces
// per Indent() of the writing thread.
//
// Observers see every line that is written (whatever the sink's filter), so tests can assert
// on log output; while one is attached, IsEnabled answers true.
// Thread-safe: every operation may be called from any thread; observers are called on the
// writing thread with no lock held. RemoveObserver returns only once no call to that observer
// is still running on another thread, so the observer may be destroyed right after it.
#pragma once

#include <string_view>

namespace halcy {

class LogObserver {
 public:
  virtual void OnLogLine(int level, std::u16string_view tag, std::u16string_view text) = 0;

 protected:
  ~LogObserver() = default;
};

class ILogController {
 public:
  // Slot order is the log library's; the module uses slots 3, 4, 9 and 10.
  virtual bool Configure(std::string_view config) = 0;                           // 1
  virtual void Flush() = 0;                                                      // 2
  virtual bool IsEnabled(int level, const char16_t* tag) = 0;                    // 3
  virtual void Write(int level, const char16_t* tag, const char16_t* text) = 0;  // 4
  virtual void AddObserver(LogObserver* observer) = 0;                           // 5
  virtual void RemoveObserver(LogObserver* observer) = 0;                        // 6
  virtual int MinimumLevel() const = 0;                                          // 7
  virtual int IndentDepth() const = 0;                                           // 8: this thread's
  virtual void Indent() = 0;                                                     // 9
  virtual void Unindent() = 0;                                                   // 10

 protected:
  ~ILogController() = default;
};

// The process-wide controller (never null here; callers still treat null as logging off).
ILogController* GetLogController();

}  // namespace halcy

using halcy::GetLogController;
