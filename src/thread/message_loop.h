// The message loop of one host thread: an incoming queue that any thread posts to, a pump
// that sleeps until there is work, delayed tasks by absolute run time, nested runs, and the
// observers that hear of the loop's end.
//
//   loop->PostTask(Thread::NewTask(channel, &CChannel::Connect, u"&CChannel::Connect"), 0);
//
// Posting wakes the pump only when the incoming queue was empty: a burst of posts costs one
// wake-up. The loop's thread swaps the whole incoming queue out under the lock and runs each
// task with no lock held, destroying it before the next one runs. Delayed tasks carry an
// absolute run time (Thread::Now) computed once when posted.
//
// A task runs with nestable tasks disallowed: a nested run (RunNested) started inside it runs
// no tasks until SetNestableTasksAllowed(true), although the pump still wakes and (on the I/O
// thread) delivers completions.
//
// Thread contract: PostTask and the destruction-observer list from any thread; everything
// else on the loop's own thread (the thread that created it), checked in debug builds.
// The host destroys the loop on its thread after the last run: observers hear of it, the
// proxy is detached (later posts through it delete their tasks) and every task still queued
// is deleted without running.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "base/destruction_observer.h"
#include "base/ref_counted.h"
#include "platform/win_types.h"
#include "thread/message_pump.h"
#include "thread/pending_task.h"

namespace Thread {

class CMessageLoopProxy;
class CMessagePumpForIO;
class CTask;

class CMessageLoop final : private CMessagePump::Delegate {
 public:
  // The state of one run, on its stack; nested runs stack their states.
  struct RunState {
    int run_depth;  // 1 for the outermost run
    bool quit_received;
  };

  // Takes a reference on `pump`. `thread_name` is used in the loop's log line only.
  CMessageLoop(const char* thread_name, CMessagePump* pump);
  ~CMessageLoop();
  CMessageLoop(const CMessageLoop&) = delete;
  CMessageLoop& operator=(const CMessageLoop&) = delete;

  // Takes ownership of `task` and queues it to run after `delay_ms` (0 or less: at once).
  // Any thread.
  void PostTask(CTask* task, int64_t delay_ms);

  // Runs until quit. Run is the outermost run; RunNested runs inside a task.
  void Run() { RunNested(); }
  void RunNested();
  // Ends the innermost run once no task is ready to run.
  void QuitWhenIdle();
  // Ends the innermost run after the current task.
  void QuitNow();
  // With quit_all_pending set, a nested run that ends makes its enclosing run end too.
  void set_quit_all_pending(bool quit) { quit_all_pending_ = quit; }
  bool quit_all_pending() const { return quit_all_pending_; }
  bool is_running() const { return state_ != nullptr; }
  int run_depth() const { return state_ ? state_->run_depth : 0; }

  // Setting it to true wakes the pump so that waiting tasks get their turn.
  void SetNestableTasksAllowed(bool allowed);
  bool nestable_tasks_allowed() const { return nestable_tasks_allowed_; }

  // Any thread. An observer is kept once however often it is added; borrowed until removed
  // or until WillDestroyCurrentMessageLoop has been called.
  void AddDestructionObserver(base::CDestructionObserver* observer);
  void RemoveDestructionObserver(base::CDestructionObserver* observer);

  CMessagePump* pump() const { return pump_; }
  // The pump as an I/O pump, or null on threads without one.
  CMessagePumpForIO* pump_for_io() const { return pump_for_io_; }
  // Borrowed: take a reference to keep it past the loop.
  CMessageLoopProxy* proxy() const { return proxy_.get(); }
  const std::string& thread_name() const { return thread_name_; }
  DWORD thread_id() const { return thread_id_; }

  // For the test host's idle detection (loop's thread): tasks started so far, and whether a
  // task is ready to run now (immediate ones, or delayed ones that are due).
  uint64_t tasks_run() const { return tasks_run_; }
  bool HasPendingWork();

 private:
  bool DoWork() override;
  bool DoDelayedWork(int64_t* next_delayed_run_time) override;
  bool DoIdleWork() override;

  void RunTask(const CPendingTask& pending);
  void ReloadWorkQueue();
  void AddToDelayedWorkQueue(CPendingTask pending);
  void NotifyDestructionObservers();
  // Deletes every queued task; returns whether there were any.
  bool DeletePendingTasks();
  void AssertOnLoopThread() const;

  // Constant after construction
  const std::string thread_name_;
  const DWORD thread_id_;
  CMessagePumpForIO* pump_for_io_;
  base::RefPtr<CMessageLoopProxy> proxy_;

  // A plain mutex rather than base::CLock: with three producers the critical section's spin
  // phase cut the posting rate to a third (thread_bench, 14 M/s down to 4.5 M/s), and the lock
  // is never taken recursively.
  std::mutex incoming_lock_;
  std::deque<CPendingTask> incoming_queue_;  // Guarded by incoming_lock_
  CMessagePump* pump_;  // Guarded by incoming_lock_ for the wake-up; one reference held

  // Touched only on the loop's thread
  std::deque<CPendingTask> work_queue_;
  std::priority_queue<CPendingTask> delayed_work_queue_;
  int32_t next_sequence_num_ = 0;
  RunState* state_ = nullptr;
  bool quit_all_pending_ = false;
  bool nestable_tasks_allowed_ = true;
  uint64_t tasks_run_ = 0;

  std::mutex observers_lock_;
  std::vector<base::CDestructionObserver*> destruction_observers_;  // Guarded by observers_lock_
};

}  // namespace Thread
