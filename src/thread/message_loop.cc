#include "thread/message_loop.h"

#include <algorithm>
#include <cassert>

#include "common/log.h"
#include "platform/threads.h"
#include "thread/message_loop_proxy.h"
#include "thread/message_pump_io.h"
#include "thread/now.h"
#include "thread/task.h"

namespace Thread {
namespace {

// More tasks than this waiting in the incoming queue gets each further post logged.
constexpr size_t kQuietQueueLength = 5;
// Deleting tasks can release objects that post again; give up after this many rounds.
constexpr int kDeleteRounds = 100;

}  // namespace

CMessageLoop::CMessageLoop(const char* thread_name, CMessagePump* pump)
    : thread_name_(thread_name ? thread_name : ""),
      thread_id_(GetCurrentThreadId()),
      pump_for_io_(dynamic_cast<CMessagePumpForIO*>(pump)),
      proxy_(new CMessageLoopProxy(this)),
      pump_(pump) {
  if (pump_) pump_->AddRef();
}

CMessageLoop::~CMessageLoop() {
  AssertOnLoopThread();
  assert(!state_ && "a loop is destroyed only after its last run");
  NotifyDestructionObservers();
  // From here on, posts through the proxy delete their tasks at once.
  proxy_->OnLoopDestroyed();
  for (int i = 0; i < kDeleteRounds && DeletePendingTasks(); ++i) {
  }
  CMessagePump* pump = nullptr;
  {
    std::lock_guard<std::mutex> lock(incoming_lock_);
    pump = pump_;
    pump_ = nullptr;
  }
  if (pump) pump->Release();
}

void CMessageLoop::PostTask(CTask* task, int64_t delay_ms) {
  if (!task) return;
  CPendingTask pending{task, 0, 0, true};
  if (delay_ms > 0) pending.delayed_run_time = Now() + delay_ms * 1000;
  size_t waiting = 0;
  CMessagePump* pump = nullptr;
  {
    std::lock_guard<std::mutex> lock(incoming_lock_);
    waiting = incoming_queue_.size();
    incoming_queue_.push_back(pending);
    // Only the post into an empty queue wakes the pump; later ones find a wake-up pending.
    // The reference keeps the pump alive through ScheduleWork if the loop goes away meanwhile.
    if (waiting == 0 && pump_) {
      pump = pump_;
      pump->AddRef();
    }
  }
  if (waiting > kQuietQueueLength) {
    // Written after the lock is left: the log controller may call observers.
    Logic::Log(Logic::kLogEvent, u"threadmsgloop;",
               u"now PendingTask number is %d, threadname = %S ", static_cast<int>(waiting),
               thread_name_.c_str());
  }
  if (pump) {
    pump->ScheduleWork();
    pump->Release();
  }
}

void CMessageLoop::RunNested() {
  AssertOnLoopThread();
  RunState run_state{state_ ? state_->run_depth + 1 : 1, false};
  // Restores the enclosing run's state however this run ends.
  struct StateRestorer {
    CMessageLoop* loop;
    RunState* previous;
    ~StateRestorer() { loop->state_ = previous; }
  } restorer{this, state_};
  state_ = &run_state;
  pump_->Run(this);
  if (quit_all_pending_) {
    if (run_state.run_depth > 1) {
      pump_->Quit();
    } else {
      quit_all_pending_ = false;
    }
  }
}

void CMessageLoop::QuitWhenIdle() {
  AssertOnLoopThread();
  if (state_) state_->quit_received = true;
}

void CMessageLoop::QuitNow() {
  AssertOnLoopThread();
  if (state_) pump_->Quit();
}

void CMessageLoop::SetNestableTasksAllowed(bool allowed) {
  AssertOnLoopThread();
  if (nestable_tasks_allowed_ == allowed) return;
  nestable_tasks_allowed_ = allowed;
  if (allowed) pump_->ScheduleWork();
}

void CMessageLoop::AddDestructionObserver(base::CDestructionObserver* observer) {
  std::lock_guard<std::mutex> lock(observers_lock_);
  auto& list = destruction_observers_;
  if (std::find(list.begin(), list.end(), observer) == list.end()) list.push_back(observer);
}

void CMessageLoop::RemoveDestructionObserver(base::CDestructionObserver* observer) {
  std::lock_guard<std::mutex> lock(observers_lock_);
  auto& list = destruction_observers_;
  list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

void CMessageLoop::NotifyDestructionObservers() {
  std::vector<base::CDestructionObserver*> observers;
  {
    std::lock_guard<std::mutex> lock(observers_lock_);
    observers.swap(destruction_observers_);
  }
  // Called with no lock held: an observer may remove itself (or others) meanwhile.
  for (base::CDestructionObserver* o : observers) o->WillDestroyCurrentMessageLoop();
}

bool CMessageLoop::HasPendingWork() {
  AssertOnLoopThread();
  if (!work_queue_.empty()) return true;
  {
    std::lock_guard<std::mutex> lock(incoming_lock_);
    if (!incoming_queue_.empty()) return true;
  }
  return !delayed_work_queue_.empty() && delayed_work_queue_.top().delayed_run_time <= Now();
}

bool CMessageLoop::DoWork() {
  if (!nestable_tasks_allowed_) return false;
  for (;;) {
    if (work_queue_.empty()) {
      ReloadWorkQueue();
      if (work_queue_.empty()) return false;
    }
    CPendingTask pending = work_queue_.front();
    work_queue_.pop_front();
    if (pending.delayed_run_time > 0) {
      AddToDelayedWorkQueue(pending);
      continue;
    }
    RunTask(pending);
    return true;
  }
}

bool CMessageLoop::DoDelayedWork(int64_t* next_delayed_run_time) {
  *next_delayed_run_time = 0;
  if (!nestable_tasks_allowed_ || delayed_work_queue_.empty()) return false;
  int64_t run_time = delayed_work_queue_.top().delayed_run_time;
  if (run_time > Now()) {
    *next_delayed_run_time = run_time;
    return false;
  }
  CPendingTask pending = delayed_work_queue_.top();
  delayed_work_queue_.pop();
  if (!delayed_work_queue_.empty()) {
    *next_delayed_run_time = delayed_work_queue_.top().delayed_run_time;
  }
  RunTask(pending);
  return true;
}

bool CMessageLoop::DoIdleWork() {
  if (state_ && state_->quit_received) pump_->Quit();
  return false;
}

void CMessageLoop::RunTask(const CPendingTask& pending) {
  // A nested run inside this task runs no tasks unless the task allows it.
  nestable_tasks_allowed_ = false;
  ++tasks_run_;
  pending.task->Run();
  delete pending.task;  // destroyed (releasing its target) before the next task runs
  nestable_tasks_allowed_ = true;
}

void CMessageLoop::ReloadWorkQueue() {
  std::lock_guard<std::mutex> lock(incoming_lock_);
  if (!incoming_queue_.empty()) incoming_queue_.swap(work_queue_);
}

void CMessageLoop::AddToDelayedWorkQueue(CPendingTask pending) {
  pending.sequence_num = ++next_sequence_num_;
  delayed_work_queue_.push(pending);
}

bool CMessageLoop::DeletePendingTasks() {
  std::deque<CPendingTask> doomed;
  {
    std::lock_guard<std::mutex> lock(incoming_lock_);
    doomed.swap(incoming_queue_);
  }
  doomed.insert(doomed.begin(), work_queue_.begin(), work_queue_.end());
  work_queue_.clear();
  for (; !delayed_work_queue_.empty(); delayed_work_queue_.pop()) {
    doomed.push_back(delayed_work_queue_.top());
  }
  // No lock held: a task's destructor may release an object that posts again.
  for (const CPendingTask& pending : doomed) delete pending.task;
  return !doomed.empty();
}

void CMessageLoop::AssertOnLoopThread() const {
  assert(GetCurrentThreadId() == thread_id_ && "called off the loop's thread");
}

}  // namespace Thread
