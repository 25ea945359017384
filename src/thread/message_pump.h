// Message pumps: the part of a message loop that waits for work and drives the loop.
//
// `CMessagePump` is the interface every pump offers (slot order: destructor, Run, Quit,
// ScheduleWork). Run calls back into its delegate (the loop) for immediate work, delayed work
// and idle work, and sleeps in between until ScheduleWork or the next delayed run time.
// `CMessagePumpDefault` sleeps on a condition variable, after looking for work for a short
// while first: the pump of the UI, process-launcher and extension-manager threads. The I/O thread's
// pump is in message_pump_io.h.
//
// Thread contract: ScheduleWork may be called from any thread; Run and Quit only on the
// thread that runs the pump. A pump is reference counted so that a poster can keep it alive
// across its wake-up call while the loop goes away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/ref_counted.h"

namespace Thread {

class CMessagePump : public base::CRefCountedThreadSafe<CMessagePump> {
 public:
  // The loop, as the pump sees it. All three run on the pump's thread.
  class Delegate {
   public:
    // Runs one immediate task; false when there was none to run.
    virtual bool DoWork() = 0;
    // Runs one due delayed task; sets `next_delayed_run_time` to the run time (Thread::Now
    // microseconds) of the next delayed task, or 0 when there is none.
    virtual bool DoDelayedWork(int64_t* next_delayed_run_time) = 0;
    // Called when there is nothing else to do; may ask the pump to quit.
    virtual bool DoIdleWork() = 0;

   protected:
    ~Delegate() = default;
  };

  // Runs until Quit is called on this run. Runs may nest; Quit ends the innermost one.
  // The common loop: immediate work, the pump's own work (I/O completions), delayed work,
  // idle work, and a sleep in WaitForWork when none of them did anything.
  virtual void Run(Delegate* delegate);
  virtual void Quit() { keep_running_ = false; }
  // Wakes the pump so that it calls DoWork soon.
  virtual void ScheduleWork() = 0;

 protected:
  friend class base::CRefCountedThreadSafe<CMessagePump>;
  CMessagePump() = default;
  virtual ~CMessagePump() = default;

  // Work of the pump itself between tasks, without sleeping; true when it did something.
  virtual bool DoPumpWork() { return false; }
  // Sleeps until ScheduleWork or `delayed_run_time` (Thread::Now microseconds; 0: no limit).
  virtual void WaitForWork(int64_t delayed_run_time) = 0;

  // Microseconds from now until `delayed_run_time` (Thread::Now clock), at least 0.
  static int64_t MicrosecondsUntil(int64_t delayed_run_time);

 private:
  bool keep_running_ = true;  // Touched only on the pump's thread
};

class CMessagePumpDefault : public CMessagePump {
 public:
  CMessagePumpDefault() = default;

  void ScheduleWork() override;

 protected:
  ~CMessagePumpDefault() override = default;
  void WaitForWork(int64_t delayed_run_time) override;

 private:
  // True when ScheduleWork has given the pump something to do. Written under mutex_, so the
  // sleep in WaitForWork cannot miss it; also read without the lock while the pump spins.
  std::atomic<bool> have_work_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

}  // namespace Thread
