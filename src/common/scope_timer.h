// CScopeTimer reports a scope that took more than 1.0 ms as
// "PERFORMANCE(<name>) : <ms> ms" (level 16, "perf;") when performance testing is on.
//
// Whether it is on is read once per process from HKEY_LOCAL_MACHINE
// "SOFTWARE\Halcy\HalcyBrowser" value "PerformanceTestFlag" (bit 0; on when absent). With the
// flag off a timer never reads the performance counter.
//
//   Logic::CScopeTimer timer("Logic::CDllInteractionProcessHost::Init:50", true);
//
// A timer lives on one thread. The process-wide base counter, frequency and flag are
// first-use initialisations that may race harmlessly: two threads then read the same values.
#pragma once

#include <cstdint>
#include <string>

namespace Logic {

class CScopeTimer {
 public:
  enum State { kNew = 0, kRunning = 1, kStopped = 2 };

  CScopeTimer(const char* name, bool start_now);
  ~CScopeTimer();
  CScopeTimer(const CScopeTimer&) = delete;
  CScopeTimer& operator=(const CScopeTimer&) = delete;

  void Start();
  void Stop();

  State state() const { return state_; }

  // Forgets the process-wide flag, base and frequency so that a test can start afresh.
  static void ResetForTesting();

 private:
  std::string name_;
  int64_t start_ = 0;
  int64_t end_ = 0;
  State state_ = kNew;
};

// The leak-report line of debug COM objects (level 64, "leak;").
void LogInterfaceLeak(int id, const void* object, int refcount, int max_refcount,
                      const char16_t* interface_name, const char16_t* class_name);

}  // namespace Logic
