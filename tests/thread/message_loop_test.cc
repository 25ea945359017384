#include "thread/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/system_time.h"
#include "support/log_capture.h"
#include "thread/message_loop_proxy.h"
#include "thread/now.h"
#include "thread/task.h"
#include "thread/thread_test_util.h"

namespace {

using thread_test::CountingPump;
using thread_test::CProbe;

class MessageLoopTest : public ::testing::Test {
 protected:
  MessageLoopTest()
      : pump_(new CountingPump()), loop_(new Thread::CMessageLoop("TestLoop", pump_.get())) {}

  Thread::CTask* RecordTask(int value) {
    return Thread::NewTask(probe_.get(), &CProbe::Record, u"&CProbe::Record", value);
  }
  // Runs the loop on this thread until nothing is ready to run.
  void RunUntilIdle() { loop_->Run(); }

  std::atomic<int> destroyed_{0};
  base::RefPtr<CProbe> probe_{new CProbe(&destroyed_)};
  base::RefPtr<CountingPump> pump_;
  std::unique_ptr<Thread::CMessageLoop> loop_;
};

// ---- the wake-up rule ----

struct WakeCase {
  int already_waiting;
  int expected_wakeups;
  const char16_t* expected_line;  // null: nothing logged
};

class WakeUpRuleTest : public MessageLoopTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeUpRuleTest, PostWakesOnlyAnEmptyQueueAndLogsTheCountBeforeThePush) {
  const WakeCase& c = GetParam();
  for (int i = 0; i < c.already_waiting; ++i) loop_->PostTask(RecordTask(i), 0);
  int wakeups_before = pump_->wakeups.load();
  testing_support::LogCapture log;
  loop_->PostTask(RecordTask(99), 0);
  EXPECT_EQ(c.expected_wakeups, pump_->wakeups.load() - wakeups_before);
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"threadmsgloop;");
  if (c.expected_line) {
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(37, lines[0].level);
    EXPECT_EQ(std::u16string(c.expected_line), lines[0].text);
  } else {
    EXPECT_TRUE(lines.empty());
  }
  RunUntilIdle();
  EXPECT_EQ(static_cast<size_t>(c.already_waiting + 1), probe_->values().size());
}

INSTANTIATE_TEST_SUITE_P(
    Counts, WakeUpRuleTest,
    ::testing::Values(WakeCase{0, 1, nullptr}, WakeCase{1, 0, nullptr}, WakeCase{5, 0, nullptr},
                      WakeCase{6, 0, u"now PendingTask number is 6, threadname = TestLoop "},
                      WakeCase{11, 0, u"now PendingTask number is 11, threadname = TestLoop "}));

TEST_F(MessageLoopTest, BurstCostsOneWakeUpAndTheNextBurstAfterDrainingAnother) {
  for (int i = 0; i < 100; ++i) loop_->PostTask(RecordTask(i), 0);
  EXPECT_EQ(1, pump_->wakeups.load());
  RunUntilIdle();
  EXPECT_EQ(100u, probe_->values().size());
  for (int i = 0; i < 10; ++i) loop_->PostTask(RecordTask(i), 0);
  EXPECT_EQ(2, pump_->wakeups.load());
}

// ---- running ----

// Writes "run N" when run and "del N" when destroyed.
class CLoggingTask : public Thread::CTask {
 public:
  CLoggingTask(std::vector<std::string>* log, int n) : CTask(u"logging"), log_(log), n_(n) {}
  ~CLoggingTask() override { log_->push_back("del " + std::to_string(n_)); }
  void Run() override { log_->push_back("run " + std::to_string(n_)); }

 private:
  std::vector<std::string>* log_;
  int n_;
};

TEST_F(MessageLoopTest, TasksRunInPostOrderAndEachIsDestroyedBeforeTheNextRuns) {
  std::vector<std::string> log;
  for (int i = 0; i < 3; ++i) loop_->PostTask(new CLoggingTask(&log, i), 0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<std::string>{"run 0", "del 0", "run 1", "del 1", "run 2", "del 2"}), log);
}

TEST_F(MessageLoopTest, RunningTaskMayPostToItsOwnLoopWithoutDeadlock) {
  Thread::CMessageLoop* loop = loop_.get();
  CProbe* probe = probe_.get();
  loop_->PostTask(Thread::NewFuncTask([loop, probe] {
                    probe->Record(1);
                    loop->PostTask(Thread::NewTask(probe, &CProbe::Record, u"r", 2), 0);
                  }),
                  0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1, 2}), probe_->values());
}

TEST_F(MessageLoopTest, TasksLeftWhenTheLoopIsDestroyedAreDeletedUnrun) {
  for (int i = 0; i < 3; ++i) loop_->PostTask(RecordTask(i), 0);
  loop_->PostTask(RecordTask(9), 60000);
  probe_ = nullptr;  // the four tasks hold the remaining references
  loop_.reset();
  EXPECT_EQ(1, destroyed_.load());  // released by the deleted tasks: no leak
}

// ---- delayed tasks, on an injected clock ----

std::atomic<LONGLONG> g_counter_ns{0};
LONGLONG FakeCounter() { return g_counter_ns.load(); }
int64_t FakeSystemTime() { return 130000000000000000LL; }  // 100-ns units since 1601

class DelayedTaskTest : public MessageLoopTest {
 protected:
  void SetUp() override {
    g_counter_ns = 1000000000LL;
    halcy::SetPerformanceCounterForTesting(&FakeCounter);
    halcy::SetSystemTimeForTesting(&FakeSystemTime);
    Thread::ResetClockForTesting();
  }
  void TearDown() override {
    loop_.reset();
    halcy::SetPerformanceCounterForTesting(nullptr);
    halcy::SetSystemTimeForTesting(nullptr);
    Thread::ResetClockForTesting();
  }
  static void AdvanceMs(int ms) { g_counter_ns += ms * 1000000LL; }
};

TEST_F(DelayedTaskTest, DelayedTasksRunByRunTimeThenPostOrder) {
  loop_->PostTask(RecordTask(30), 30);
  loop_->PostTask(RecordTask(10), 10);
  loop_->PostTask(RecordTask(0), 0);
  loop_->PostTask(RecordTask(11), 10);
  loop_->PostTask(RecordTask(1), -5);  // a delay of zero or below runs at once, in post order
  loop_->PostTask(RecordTask(2), 0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 2}), probe_->values());
  AdvanceMs(9);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 2}), probe_->values());
  AdvanceMs(1);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 2, 10, 11}), probe_->values());
  AdvanceMs(20);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{0, 1, 2, 10, 11, 30}), probe_->values());
}

TEST_F(DelayedTaskTest, RunTimeIsFixedWhenPostedNotWhenTheLoopSeesIt) {
  loop_->PostTask(RecordTask(1), 10);  // due at +10
  AdvanceMs(5);
  loop_->PostTask(RecordTask(2), 2);  // due at +7, ahead of the first
  AdvanceMs(2);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{2}), probe_->values());
  AdvanceMs(3);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{2, 1}), probe_->values());
}

// ---- nested runs ----

TEST_F(MessageLoopTest, NestedRunCountsDepthAndRestoresTheEnclosingState) {
  Thread::CMessageLoop* loop = loop_.get();
  std::vector<int> depths;
  loop_->PostTask(Thread::NewFuncTask([&] {
                    depths.push_back(loop->run_depth());
                    loop->PostTask(
                        Thread::NewFuncTask([&] { depths.push_back(loop->run_depth()); }), 0);
                    loop->SetNestableTasksAllowed(true);
                    loop->RunNested();
                    depths.push_back(loop->run_depth());
                  }),
                  0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1, 2, 1}), depths);
  EXPECT_FALSE(loop_->is_running());
  EXPECT_EQ(0, loop_->run_depth());
}

TEST_F(MessageLoopTest, NestedRunRunsNoTasksUntilNestableTasksAreAllowed) {
  Thread::CMessageLoop* loop = loop_.get();
  CProbe* probe = probe_.get();
  std::vector<size_t> seen;
  int wakeups_when_allowed = -1;
  loop_->PostTask(Thread::NewFuncTask([&] {
                    EXPECT_FALSE(loop->nestable_tasks_allowed());
                    loop->PostTask(Thread::NewTask(probe, &CProbe::Record, u"r", 7), 0);
                    loop->RunNested();
                    seen.push_back(probe->values().size());
                    int before = pump_->wakeups.load();
                    loop->SetNestableTasksAllowed(true);
                    wakeups_when_allowed = pump_->wakeups.load() - before;
                    loop->RunNested();
                    seen.push_back(probe->values().size());
                  }),
                  0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<size_t>{0, 1}), seen);
  EXPECT_EQ(1, wakeups_when_allowed);
}

TEST_F(MessageLoopTest, QuitAllPendingEndsTheEnclosingRunTooAndIsThenCleared) {
  Thread::CMessageLoop* loop = loop_.get();
  CProbe* probe = probe_.get();
  loop_->PostTask(Thread::NewFuncTask([&] {
                    loop->PostTask(Thread::NewFuncTask([&] {
                                     // Ready to run, but both runs end first.
                                     loop->PostTask(
                                         Thread::NewTask(probe, &CProbe::Record, u"r", 1), 0);
                                     loop->set_quit_all_pending(true);
                                     loop->QuitNow();
                                   }),
                                   0);
                    loop->SetNestableTasksAllowed(true);
                    loop->RunNested();
                  }),
                  0);
  RunUntilIdle();
  EXPECT_TRUE(probe_->values().empty());
  EXPECT_EQ(2, pump_->quits);  // the nested run's quit, then the one passed on to the outer run
  EXPECT_FALSE(loop_->quit_all_pending());
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1}), probe_->values());
}

TEST_F(MessageLoopTest, QuitWhenIdleEndsTheRunOnlyAfterReadyTasks) {
  Thread::CMessageLoop* loop = loop_.get();
  loop_->PostTask(Thread::NewFuncTask([loop] { loop->QuitWhenIdle(); }), 0);
  loop_->PostTask(RecordTask(1), 0);
  loop_->PostTask(RecordTask(2), 0);
  RunUntilIdle();
  EXPECT_EQ((std::vector<int>{1, 2}), probe_->values());
  EXPECT_EQ(1, pump_->quits);
}

// ---- destruction observers and the proxy ----

class CRecordingObserver : public base::CDestructionObserver {
 public:
  CRecordingObserver(std::vector<std::string>* log, std::string name)
      : log_(log), name_(std::move(name)) {}
  void WillDestroyCurrentMessageLoop() override { log_->push_back(name_); }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

TEST_F(MessageLoopTest, ObserversHearOnceBeforeQueuedTasksAreDeleted) {
  std::vector<std::string> log;
  CRecordingObserver a(&log, "a"), b(&log, "b"), c(&log, "c");
  loop_->AddDestructionObserver(&a);
  loop_->AddDestructionObserver(&b);
  loop_->AddDestructionObserver(&a);  // kept once
  loop_->AddDestructionObserver(&c);
  loop_->RemoveDestructionObserver(&b);
  loop_->PostTask(new CLoggingTask(&log, 1), 0);
  loop_.reset();
  EXPECT_EQ((std::vector<std::string>{"a", "c", "del 1"}), log);
}

TEST_F(MessageLoopTest, ProxyDeliversWhileTheLoopLivesAndDeletesUnrunAfterwards) {
  base::RefPtr<Thread::CMessageLoopProxy> proxy(loop_->proxy());
  EXPECT_TRUE(proxy->PostTask(RecordTask(1), 0));
  RunUntilIdle();
  loop_.reset();
  EXPECT_EQ(nullptr, proxy->loop());
  Thread::CTask* late = RecordTask(2);
  probe_ = nullptr;  // `late` holds the last reference
  EXPECT_FALSE(proxy->PostTask(late, 0));
  EXPECT_EQ(1, destroyed_.load());  // deleted at once, its target released
}

// A target whose destructor posts through the proxy: the proxy must not hold its lock while
// it deletes a task it cannot deliver.
class CPostsOnDestruction : public base::CRefCountedThreadSafe<CPostsOnDestruction> {
 public:
  CPostsOnDestruction(Thread::CMessageLoopProxy* proxy, bool* posted)
      : proxy_(proxy), posted_(posted) {}
  void Noop() {}

 private:
  friend class base::CRefCountedThreadSafe<CPostsOnDestruction>;
  ~CPostsOnDestruction() {
    *posted_ = !proxy_->PostTask(Thread::NewFuncTask([] {}), 0);
  }
  base::RefPtr<Thread::CMessageLoopProxy> proxy_;
  bool* posted_;
};

TEST_F(MessageLoopTest, DroppedTaskWhoseTargetPostsThroughTheSameProxyDoesNotDeadlock) {
  base::RefPtr<Thread::CMessageLoopProxy> proxy(loop_->proxy());
  loop_.reset();
  bool second_dropped = false;
  auto* target = new CPostsOnDestruction(proxy.get(), &second_dropped);
  Thread::CTask* task = Thread::NewTask(target, &CPostsOnDestruction::Noop, u"n");
  EXPECT_FALSE(proxy->PostTask(task, 0));
  EXPECT_TRUE(second_dropped);
}

// ---- real threads ----

TEST(MessageLoopThreadTest, TasksFromManyProducersRunOnceEachInPerProducerOrder) {
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 20000;
  Thread::CMessageLoop* loop = nullptr;
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the loop's thread
  DWORD loop_tid = 0;
  std::thread runner([&] {
    base::RefPtr<Thread::CMessagePump> pump(new Thread::CMessagePumpDefault());
    Thread::CMessageLoop l("Worker", pump.get());
    {
      std::lock_guard<std::mutex> lock(m);
      loop = &l;
      loop_tid = GetCurrentThreadId();
    }
    cv.notify_all();
    l.Run();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return loop != nullptr; });
  }
  std::vector<std::thread> producers;
  std::atomic<int> wrong_thread{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        loop->PostTask(Thread::NewFuncTask([&, p, i] {
                         if (GetCurrentThreadId() != loop_tid) wrong_thread++;
                         seen[p].push_back(i);
                       }),
                       0);
      }
    });
  }
  for (auto& t : producers) t.join();
  loop->PostTask(Thread::NewFuncTask([&] { loop->QuitWhenIdle(); }), 0);
  runner.join();
  EXPECT_EQ(0, wrong_thread.load());
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(static_cast<size_t>(kPerProducer), seen[p].size()) << "producer " << p;
    for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(i, seen[p][i]) << "producer " << p;
  }
}

}  // namespace
