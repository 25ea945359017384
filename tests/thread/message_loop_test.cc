// The message loop (wake-ups, order, delayed tasks, nested runs, destruction), its proxy, tasks
// and the clock that delayed tasks run by.
#include "thread/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/system_time.h"
#include "support/log_capture.h"
#include "thread/message_loop_proxy.h"
#include "thread/now.h"
#include "thread/task.h"

namespace {

using Strings = std::vector<std::string>;

// Run returns once no task is ready (or on Quit) instead of sleeping, so that a test drives the
// loop on its own thread step by step.
class CountingPump final : public Thread::CMessagePump {
 public:
  void Run(Delegate* delegate) override {
    int64_t next = 0;
    for (keep_running_ = true; keep_running_;) {
      bool did_work = delegate->DoWork();
      if (keep_running_) did_work |= delegate->DoDelayedWork(&next);
      if (!keep_running_ || did_work) continue;
      delegate->DoIdleWork();
      break;
    }
    keep_running_ = true;
  }
  void Quit() override {
    keep_running_ = false;
    ++quits;
  }
  void ScheduleWork() override { ++wakeups; }

  std::atomic<int> wakeups{0};
  int quits = 0;

 private:
  ~CountingPump() override = default;
  void WaitForWork(int64_t) override {}
  bool keep_running_ = true;
};

// Records the values it is called with, and counts its own destruction.
class CProbe : public base::CRefCountedThreadSafe<CProbe> {
 public:
  explicit CProbe(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  void Record(int value) { values_.push_back(value); }
  std::vector<int> values() { return values_; }

 private:
  friend class base::CRefCountedThreadSafe<CProbe>;
  ~CProbe() { ++*destroyed_; }
  std::atomic<int>* destroyed_;
  std::vector<int> values_;
};

// Writes "run N" when run and "del N" when destroyed.
class CLoggingTask : public Thread::CTask {
 public:
  CLoggingTask(Strings* log, int n) : CTask(u"logging"), log_(log), n_(n) {}
  ~CLoggingTask() override { log_->push_back("del " + std::to_string(n_)); }
  void Run() override { log_->push_back("run " + std::to_string(n_)); }

 private:
  Strings* log_;
  int n_;
};

// A fake performance counter (nanoseconds) and system time (a FILETIME, 100-ns units).
std::atomic<LONGLONG> g_counter_ns{0};
std::atomic<int64_t> g_system{0};
constexpr LONGLONG kSecondNs = 1000000000LL;
constexpr int64_t kSecond100ns = 10000000LL;
constexpr int64_t kT0 = 130000000000000000LL;

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_counter_ns = 100 * kSecondNs;
    g_system = kT0;
    halcy::SetPerformanceCounterForTesting([] { return g_counter_ns.load(); });
    halcy::SetSystemTimeForTesting([] { return g_system.load(); });
    Thread::ResetClockForTesting();
  }
  void TearDown() override {
    loop_.reset();
    halcy::SetPerformanceCounterForTesting(nullptr);
    halcy::SetSystemTimeForTesting(nullptr);
    Thread::ResetClockForTesting();
  }
  Thread::CTask* RecordTask(int value) {
    return Thread::NewTask(probe_.get(), &CProbe::Record, u"r", value);
  }
  // Runs the loop on this thread until nothing is ready to run.
  void RunUntilIdle() { loop_->Run(); }
  static void AdvanceMs(int ms) { g_counter_ns += ms * 1000000LL; }

  std::atomic<int> destroyed_{0};
  base::RefPtr<CProbe> probe_{new CProbe(&destroyed_)};
  base::RefPtr<CountingPump> pump_{new CountingPump()};
  std::unique_ptr<Thread::CMessageLoop> loop_{new Thread::CMessageLoop("TestLoop", pump_.get())};
};

TEST_F(LoopTest, ClockFollowsTheCounterForSixtySecondsAndResynchronisesOnLargerSteps) {
  EXPECT_EQ(kT0 / 10, Thread::Now());  // microseconds
  g_counter_ns += 60 * kSecondNs;      // exactly 60 s: the drifted wall clock is not looked at
  g_system += 45 * kSecond100ns;
  EXPECT_EQ(kT0 / 10 + 60000000, Thread::Now());
  g_counter_ns += 2 * kSecondNs;
  g_system = kT0 + 200 * kSecond100ns;
  EXPECT_EQ((kT0 + 200 * kSecond100ns) / 10, Thread::Now());
  g_counter_ns -= 1000000;  // 1 ms back: a wrap of the low 32 bits (2^32 ns on)
  EXPECT_EQ((kT0 + 200 * kSecond100ns) / 10 + 4293967, Thread::Now());
  g_counter_ns = kSecondNs;  // far back: more than a wrap can explain
  g_system = kT0 + 7 * kSecond100ns;
  EXPECT_EQ((kT0 + 7 * kSecond100ns) / 10, Thread::Now());
  g_counter_ns = 30LL * 24 * 3600 * kSecondNs;  // thirty days: ns * 1e6 would pass 2^63
  const int64_t before = Thread::Now();
  g_counter_ns += kSecondNs;
  EXPECT_EQ(1000000, Thread::Now() - before);
}

// Waiting counts run high to low, so that the post into the drained queue comes last.
TEST_F(LoopTest, PostWakesOnlyAnEmptyQueueAndLogsTheCountWhenMoreThanFiveWait) {
  for (int waiting : {6, 5, 1, 0}) {
    SCOPED_TRACE(waiting);
    for (int i = 0; i < waiting; ++i) loop_->PostTask(RecordTask(i), 0);
    const int wakeups_before = pump_->wakeups.load();
    testing_support::LogCapture log;
    loop_->PostTask(RecordTask(99), 0);
    EXPECT_EQ(waiting == 0 ? 1 : 0, pump_->wakeups.load() - wakeups_before);
    std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"threadmsgloop;");
    ASSERT_EQ(waiting > 5 ? 1u : 0u, lines.size());
    if (waiting > 5) {
      EXPECT_EQ(37, lines[0].level);
      EXPECT_EQ(u"now PendingTask number is 6, threadname = TestLoop ", lines[0].text);
    }
    RunUntilIdle();
  }
  EXPECT_EQ(16u, probe_->values().size());
}

TEST_F(LoopTest, TasksRunInPostOrderEachDestroyedBeforeTheNextAndQuitWhenIdleWaitsForThem) {
  Strings log;
  loop_->PostTask(Thread::NewFuncTask([this] { loop_->QuitWhenIdle(); }), 0);
  for (int i = 0; i < 3; ++i) loop_->PostTask(new CLoggingTask(&log, i), 0);
  RunUntilIdle();
  EXPECT_EQ((Strings{"run 0", "del 0", "run 1", "del 1", "run 2", "del 2"}), log);
  EXPECT_EQ(1, pump_->quits);
}

TEST_F(LoopTest, DelayedTasksRunByRunTimeFixedWhenPostedThenPostOrder) {
  loop_->PostTask(RecordTask(30), 30);
  loop_->PostTask(RecordTask(10), 10);
  loop_->PostTask(RecordTask(0), 0);
  loop_->PostTask(RecordTask(11), 10);
  loop_->PostTask(RecordTask(1), -5);  // a delay of zero or below runs at once, in post order
  RunUntilIdle();
  AdvanceMs(5);
  loop_->PostTask(RecordTask(7), 2);  // due at +7, ahead of the ones due at +10
  AdvanceMs(4);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 7}), probe_->values());
  AdvanceMs(1);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 7, 10, 11}), probe_->values());
  AdvanceMs(20);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 7, 10, 11, 30}), probe_->values());
}

// A nested run inside a task runs no tasks until nestable tasks are allowed (which wakes the
// pump), counts its depth and restores the enclosing run's state when it ends. The task it
// posts to its own loop meanwhile does not deadlock.
TEST_F(LoopTest, NestedRunRunsTasksOnlyOnceAllowedAndRestoresTheEnclosingRun) {
  std::vector<int> depths;
  std::vector<size_t> seen;
  int wakeups_when_allowed = -1;
  loop_->PostTask(Thread::NewFuncTask([&] {
                    EXPECT_FALSE(loop_->nestable_tasks_allowed());
                    depths.push_back(loop_->run_depth());
                    loop_->PostTask(
                        Thread::NewFuncTask([&] { depths.push_back(loop_->run_depth()); }), 0);
                    loop_->RunNested();
                    seen.push_back(depths.size());
                    int before = pump_->wakeups.load();
                    loop_->SetNestableTasksAllowed(true);
                    wakeups_when_allowed = pump_->wakeups.load() - before;
                    loop_->RunNested();
                    depths.push_back(loop_->run_depth());
                  }),
                  0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<size_t>{1}), seen);  // the first nested run ran nothing
  EXPECT_EQ(1, wakeups_when_allowed);
  EXPECT_EQ((std::vector<int>{1, 2, 1}), depths);
  EXPECT_FALSE(loop_->is_running());
  EXPECT_EQ(0, loop_->run_depth());
}

TEST_F(LoopTest, QuitAllPendingEndsTheEnclosingRunTooAndIsThenCleared) {
  loop_->PostTask(Thread::NewFuncTask([&] {
                    loop_->PostTask(Thread::NewFuncTask([&] {
                                      loop_->PostTask(RecordTask(1), 0);  // ready, but unrun
                                      loop_->set_quit_all_pending(true);
                                      loop_->QuitNow();
                                    }),
                                    0);
                    loop_->SetNestableTasksAllowed(true);
                    loop_->RunNested();
                  }),
                  0);
  RunUntilIdle();
  EXPECT_TRUE(probe_->values().empty());
  EXPECT_EQ(2, pump_->quits);  // the nested run's quit, then the one passed on to the outer run
  EXPECT_FALSE(loop_->quit_all_pending());
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1}), probe_->values());
}

class CRecordingObserver : public base::CDestructionObserver {
 public:
  CRecordingObserver(Strings* log, std::string name) : log_(log), name_(std::move(name)) {}
  void WillDestroyCurrentMessageLoop() override { log_->push_back(name_); }

 private:
  Strings* log_;
  std::string name_;
};

TEST_F(LoopTest, ObserversHearOnceBeforeQueuedAndDelayedTasksAreDeletedUnrun) {
  Strings log;
  CRecordingObserver a(&log, "a"), b(&log, "b"), c(&log, "c");
  loop_->AddDestructionObserver(&a);
  loop_->AddDestructionObserver(&b);
  loop_->AddDestructionObserver(&a);  // kept once
  loop_->AddDestructionObserver(&c);
  loop_->RemoveDestructionObserver(&b);
  loop_->PostTask(new CLoggingTask(&log, 1), 0);
  loop_->PostTask(new CLoggingTask(&log, 2), 60000);
  loop_->PostTask(RecordTask(3), 0);
  probe_ = nullptr;  // the last task holds the remaining reference
  loop_.reset();
  EXPECT_EQ((Strings{"a", "c", "del 1", "del 2"}), log);
  EXPECT_EQ(1, destroyed_.load());
}

// Posts through `proxy` when deleted, to see that the proxy deletes a task it cannot deliver
// with its lock left (a deadlock otherwise).
class CPostsWhenDeleted : public Thread::CTask {
 public:
  CPostsWhenDeleted(Thread::CMessageLoopProxy* proxy, bool* dropped)
      : CTask(u"p"), proxy_(proxy), dropped_(dropped) {}
  ~CPostsWhenDeleted() override {
    *dropped_ = !proxy_->PostTask(Thread::NewFuncTask([] {}), 0);
  }
  void Run() override {}

 private:
  Thread::CMessageLoopProxy* proxy_;
  bool* dropped_;
};

TEST_F(LoopTest, ProxyDeliversWhileTheLoopLivesAndAfterwardsDeletesTasksAtOnce) {
  base::RefPtr<Thread::CMessageLoopProxy> proxy(loop_->proxy());
  EXPECT_TRUE(proxy->PostTask(RecordTask(1), 0));
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1}), probe_->values());
  loop_.reset();
  EXPECT_EQ(nullptr, proxy->loop());
  bool inner_dropped = false;
  EXPECT_FALSE(proxy->PostTask(new CPostsWhenDeleted(proxy.get(), &inner_dropped), 0));
  EXPECT_TRUE(inner_dropped);
}

}  // namespace
