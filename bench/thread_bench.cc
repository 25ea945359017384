// Tasks across threads: how fast a message loop takes posts, and how long a post takes to run.
//
// Each measurement has a baseline in the same run: a plain queue of the same task objects
// guarded by a mutex, whose producer notifies a condition variable on every push and whose
// consumer takes one task per lock. Counters:
//   wakeups_per_1k   ScheduleWork calls (or notify_one calls) per 1000 tasks
//   wakeups_per_burst the same per burst of 64 posts
//   sleeps_per_1k    times the consumer actually went to sleep, per 1000 tasks
//   p50_us, p99_us   post-to-run latency percentiles
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "base/ref_counted.h"
#include "thread/message_loop.h"
#include "thread/message_pump_io.h"
#include "thread/task.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// ---- the two queues behind one small interface ----

// The default pump, counting wake-up requests and sleeps.
class CountingPump final : public Thread::CMessagePumpDefault {
 public:
  void ScheduleWork() override {
    wakeups.fetch_add(1, std::memory_order_relaxed);
    CMessagePumpDefault::ScheduleWork();
  }
  std::atomic<int64_t> wakeups{0};
  std::atomic<int64_t> sleeps{0};

 private:
  ~CountingPump() override = default;
  void WaitForWork(int64_t delayed_run_time) override {
    sleeps.fetch_add(1, std::memory_order_relaxed);
    CMessagePumpDefault::WaitForWork(delayed_run_time);
  }
};

class Target {
 public:
  virtual ~Target() = default;
  virtual void Post(Thread::CTask* task) = 0;
  virtual int64_t wakeups() = 0;
  virtual int64_t sleeps() = 0;
};

// A message loop on its own thread.
class LoopTarget final : public Target {
 public:
  explicit LoopTarget(bool io_pump) {
    std::mutex m;
    std::condition_variable cv;
    thread_ = std::thread([&] {
      base::RefPtr<Thread::CMessagePump> pump;
      if (io_pump) {
        pump = base::RefPtr<Thread::CMessagePump>(new Thread::CMessagePumpForIO());
      } else {
        counting_ = new CountingPump();
        pump = base::RefPtr<Thread::CMessagePump>(counting_);
      }
      Thread::CMessageLoop loop("BenchLoop", pump.get());
      {
        std::lock_guard<std::mutex> lock(m);
        loop_ = &loop;
      }
      cv.notify_all();
      loop.Run();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return loop_ != nullptr; });
  }
  ~LoopTarget() override {
    Thread::CMessageLoop* loop = loop_;
    loop_->PostTask(Thread::NewFuncTask([loop] { loop->QuitNow(); }), 0);
    thread_.join();
  }
  void Post(Thread::CTask* task) override { loop_->PostTask(task, 0); }
  int64_t wakeups() override { return counting_ ? counting_->wakeups.load() : 0; }
  int64_t sleeps() override { return counting_ ? counting_->sleeps.load() : 0; }

 private:
  std::thread thread_;
  Thread::CMessageLoop* loop_ = nullptr;
  CountingPump* counting_ = nullptr;
};

// The baseline: one lock per push and per pop, a notify per push.
class PlainQueueTarget final : public Target {
 public:
  PlainQueueTarget() : thread_([this] { Consume(); }) {}
  ~PlainQueueTarget() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void Post(Thread::CTask* task) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(task);
    }
    notifies_.fetch_add(1, std::memory_order_relaxed);
    cv_.notify_one();
  }
  int64_t wakeups() override { return notifies_.load(); }
  int64_t sleeps() override { return sleeps_.load(); }

 private:
  void Consume() {
    for (;;) {
      Thread::CTask* task = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (queue_.empty() && !stop_) {
          sleeps_.fetch_add(1, std::memory_order_relaxed);
          cv_.wait(lock, [this] { return !queue_.empty() || stop_; });
        }
        if (queue_.empty()) return;
        task = queue_.front();
        queue_.pop_front();
      }
      task->Run();
      delete task;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Thread::CTask*> queue_;
  bool stop_ = false;
  std::atomic<int64_t> notifies_{0};
  std::atomic<int64_t> sleeps_{0};
  std::thread thread_;
};

std::unique_ptr<Target> MakeTarget(int kind) {
  if (kind == 0) return std::make_unique<LoopTarget>(false);
  if (kind == 1) return std::make_unique<PlainQueueTarget>();
  return std::make_unique<LoopTarget>(true);
}

const char* TargetName(int kind) {
  return kind == 0 ? "loop" : kind == 1 ? "plain_queue" : "io_loop";
}

// A task target as the module's tasks have: counted, with a member function and an argument.
class Sink : public base::CRefCountedThreadSafe<Sink> {
 public:
  void Add(int value) { sum.fetch_add(value, std::memory_order_relaxed); }
  void Mark(int64_t posted_ns) {
    latency_ns = NowNs() - posted_ns;
    done.store(true, std::memory_order_release);
  }
  void Spin(Target* target) {
    if (spinning.load(std::memory_order_relaxed)) {
      target->Post(Thread::NewTask(this, &Sink::Spin, u"&Sink::Spin", target));
    } else {
      spin_stopped.store(true, std::memory_order_release);
    }
  }

  std::atomic<int64_t> sum{0};
  int64_t latency_ns = 0;
  std::atomic<bool> done{false};
  std::atomic<bool> spinning{false};
  std::atomic<bool> spin_stopped{false};
};

void SetWakeCounters(benchmark::State& state, Target* target, int64_t tasks, int64_t wakeups0,
                     int64_t sleeps0) {
  double per_1k = tasks > 0 ? 1000.0 / static_cast<double>(tasks) : 0;
  state.counters["wakeups_per_1k"] = static_cast<double>(target->wakeups() - wakeups0) * per_1k;
  state.counters["sleeps_per_1k"] = static_cast<double>(target->sleeps() - sleeps0) * per_1k;
}

// ---- throughput ----

// A task placed in storage the benchmark owns: the consumer's delete runs the destructor and
// frees nothing, so the queue's own cost is measured without malloc traffic between threads.
class PooledTask final : public Thread::CTask {
 public:
  explicit PooledTask(Sink* sink) : CTask(u"pooled"), sink_(sink) {}
  void Run() override { sink_->Add(1); }
  static void operator delete(void*) {}
  static void* operator new(size_t, void* where) { return where; }

 private:
  Sink* sink_;
};

// args: target kind, producers, task kind (0: NewTask as the module builds them, 1: pooled).
// Each iteration posts kBatch tasks split over the producers and waits until all of them ran.
void BM_PostThroughput(benchmark::State& state) {
  constexpr int kBatch = 100000;
  const int kind = static_cast<int>(state.range(0));
  const int producers = static_cast<int>(state.range(1));
  const bool pooled = state.range(2) == 1;
  std::unique_ptr<Target> target = MakeTarget(kind);
  base::RefPtr<Sink> sink(new Sink());
  std::vector<std::aligned_storage_t<sizeof(PooledTask), alignof(PooledTask)>> pool(kBatch);
  int64_t wakeups0 = target->wakeups(), sleeps0 = target->sleeps(), tasks = 0;
  for (auto _ : state) {
    int64_t expected = sink->sum.load() + kBatch;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&, p] {
        for (int i = p; i < kBatch; i += producers) {
          target->Post(pooled ? new (&pool[i]) PooledTask(sink.get())
                              : Thread::NewTask(sink.get(), &Sink::Add, u"&Sink::Add", 1));
        }
      });
    }
    for (auto& t : threads) t.join();
    while (sink->sum.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    tasks += kBatch;
  }
  state.SetItemsProcessed(tasks);
  SetWakeCounters(state, target.get(), tasks, wakeups0, sleeps0);
  state.SetLabel(std::string(TargetName(kind)) + (pooled ? " pooled" : " NewTask"));
}
BENCHMARK(BM_PostThroughput)
    ->ArgNames({"target", "producers", "pooled"})
    ->ArgsProduct({{0, 1}, {1, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A burst of 64 posts into a sleeping target. The loop is woken only by posts that find the
// incoming queue empty; since it drains faster than one producer fills, it takes the burst in
// a few swaps, each after a wake-up. The baseline notifies on every post.
void BM_BurstIntoSleepingTarget(benchmark::State& state) {
  constexpr int kBurst = 64;
  const int kind = static_cast<int>(state.range(0));
  std::unique_ptr<Target> target = MakeTarget(kind);
  base::RefPtr<Sink> sink(new Sink());
  int64_t wakeups0 = target->wakeups(), sleeps0 = target->sleeps(), tasks = 0;
  for (auto _ : state) {
    int64_t expected = sink->sum.load() + kBurst;
    for (int i = 0; i < kBurst; ++i) {
      target->Post(Thread::NewTask(sink.get(), &Sink::Add, u"&Sink::Add", 1));
    }
    while (sink->sum.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // let the consumer sleep
    state.ResumeTiming();
    tasks += kBurst;
  }
  state.SetItemsProcessed(tasks);
  SetWakeCounters(state, target.get(), tasks, wakeups0, sleeps0);
  state.counters["wakeups_per_burst"] =
      static_cast<double>(target->wakeups() - wakeups0) / static_cast<double>(state.iterations());
  state.SetLabel(TargetName(kind));
}
BENCHMARK(BM_BurstIntoSleepingTarget)->ArgName("target")->Arg(0)->Arg(1)->Iterations(2000);

// A burst posted while the target runs a long task: the first post finds the incoming queue
// empty and wakes the pump, the other 63 find it non-empty and do not. The counter is taken over
// the burst's posts only.
void BM_BurstWhileTargetBusy(benchmark::State& state) {
  constexpr int kBurst = 64;
  const int kind = static_cast<int>(state.range(0));
  std::unique_ptr<Target> target = MakeTarget(kind);
  base::RefPtr<Sink> sink(new Sink());
  int64_t burst_wakeups = 0, tasks = 0;
  for (auto _ : state) {
    std::atomic<bool> started{false}, release{false};
    target->Post(Thread::NewFuncTask([&] {
      started.store(true, std::memory_order_release);
      while (!release.load(std::memory_order_acquire)) std::this_thread::yield();
    }));
    while (!started.load(std::memory_order_acquire)) std::this_thread::yield();
    int64_t expected = sink->sum.load() + kBurst;
    int64_t before = target->wakeups();
    for (int i = 0; i < kBurst; ++i) {
      target->Post(Thread::NewTask(sink.get(), &Sink::Add, u"&Sink::Add", 1));
    }
    burst_wakeups += target->wakeups() - before;
    release.store(true, std::memory_order_release);
    while (sink->sum.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    tasks += kBurst;
  }
  state.SetItemsProcessed(tasks);
  state.counters["wakeups_per_burst"] =
      static_cast<double>(burst_wakeups) / static_cast<double>(state.iterations());
  state.SetLabel(TargetName(kind));
}
BENCHMARK(BM_BurstWhileTargetBusy)->ArgName("target")->Arg(0)->Arg(1)->Iterations(2000);

// ---- latency ----

void SetPercentiles(benchmark::State& state, std::vector<int64_t>* samples) {
  if (samples->empty()) return;
  std::sort(samples->begin(), samples->end());
  auto at = [&](double q) {
    return static_cast<double>((*samples)[static_cast<size_t>(q * (samples->size() - 1))]) / 1e3;
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

// Posts one probe from this thread, waits until it ran and returns its post-to-run time.
int64_t Probe(Target* target, Sink* sink) {
  sink->done.store(false);
  target->Post(Thread::NewTask(sink, &Sink::Mark, u"&Sink::Mark", NowNs()));
  while (!sink->done.load(std::memory_order_acquire)) std::this_thread::yield();
  return sink->latency_ns;
}

// One probe per iteration, posted from this thread; the target sleeps between probes.
void BM_LatencySleepingTarget(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  std::unique_ptr<Target> target = MakeTarget(kind);
  base::RefPtr<Sink> sink(new Sink());
  std::vector<int64_t> samples;
  samples.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    samples.push_back(Probe(target.get(), sink.get()));
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.ResumeTiming();
  }
  SetPercentiles(state, &samples);
  state.SetLabel(TargetName(kind));
}
BENCHMARK(BM_LatencySleepingTarget)
    ->ArgName("target")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3000)
    ->UseRealTime();

// The target is kept awake by a task that posts itself again; probes come from this thread.
void BM_LatencyBusyTarget(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  std::unique_ptr<Target> target = MakeTarget(kind);
  base::RefPtr<Sink> spinner(new Sink());
  spinner->spinning.store(true);
  target->Post(Thread::NewTask(spinner.get(), &Sink::Spin, u"&Sink::Spin", target.get()));
  base::RefPtr<Sink> sink(new Sink());
  std::vector<int64_t> samples;
  samples.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) samples.push_back(Probe(target.get(), sink.get()));
  spinner->spinning.store(false);
  while (!spinner->spin_stopped.load(std::memory_order_acquire)) std::this_thread::yield();
  SetPercentiles(state, &samples);
  state.SetLabel(TargetName(kind));
}
BENCHMARK(BM_LatencyBusyTarget)
    ->ArgName("target")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20000)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
