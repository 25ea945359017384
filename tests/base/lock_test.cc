// base::CLock and base::CReadWriteLock: exclusion, recursion, and the writer-preferring order.
#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/read_write_lock.h"
#include "ipc/ipc_test_util.h"

namespace {

TEST(LockTest, GuardsACounterAcrossThreadsAndIsRecursive) {
  base::CLock lock;
  int64_t counter = 0;  // Guarded by lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        base::CAutoLock hold(lock);
        base::CAutoLock again(lock);  // the owner may enter again
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

// Records the order in which threads got the lock.
class OrderLog {
 public:
  void Add(const std::string& who) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_.push_back(who);
  }
  std::vector<std::string> order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }
  size_t size() { return order().size(); }

 private:
  std::mutex mutex_;
  std::vector<std::string> order_;
};

TEST(ReadWriteLockTest, WaitingWriterBlocksNewReadersAndGoesFirst) {
  base::CReadWriteLock rw;
  OrderLog log;
  rw.AcquireShared();  // a reader holds it
  std::thread writer([&] {
    rw.AcquireExclusive();
    log.Add("writer");
    rw.Release();
  });
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_writers_for_testing() == 1; }));
  std::thread late_reader([&] {
    rw.AcquireShared();  // blocks: a writer waits, although only readers hold the lock
    log.Add("late reader");
    rw.Release();
  });
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_readers_for_testing() == 1; }));
  EXPECT_EQ(log.size(), 0u);
  rw.Release();  // the last reader leaves: the writer is next
  writer.join();
  late_reader.join();
  EXPECT_EQ(log.order(), (std::vector<std::string>{"writer", "late reader"}));
}

TEST(ReadWriteLockTest, ReleasingWriterLetsOneWriterInBeforeAnyReader) {
  base::CReadWriteLock rw;
  OrderLog log;
  rw.AcquireExclusive();
  std::thread reader([&] {
    rw.AcquireShared();
    log.Add("reader");
    rw.Release();
  });
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_readers_for_testing() == 1; }));
  std::thread writer([&] {
    rw.AcquireExclusive();
    log.Add("writer");
    rw.Release();
  });
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_writers_for_testing() == 1; }));
  rw.Release();
  writer.join();
  reader.join();
  EXPECT_EQ(log.order(), (std::vector<std::string>{"writer", "reader"}));
}

TEST(ReadWriteLockTest, ReleasingWriterLetsAllWaitingReadersInAtOnce) {
  base::CReadWriteLock rw;
  rw.AcquireExclusive();
  std::atomic<int> inside{0};
  std::atomic<int> most_inside{0};
  std::atomic<bool> leave{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      rw.AcquireShared();
      int now = ++inside;
      int seen = most_inside.load();
      while (now > seen && !most_inside.compare_exchange_weak(seen, now)) {
      }
      // Stay until every reader is in: they hold the lock together.
      ipc_test::PollUntil([&] { return leave.load(); });
      rw.Release();
    });
  }
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_readers_for_testing() == 3; }));
  rw.Release();
  ASSERT_TRUE(ipc_test::PollUntil([&] { return inside.load() == 3; }));
  leave = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(most_inside.load(), 3);
  // Free again: a writer gets it at once.
  rw.AcquireExclusive();
  rw.Release();
}

}  // namespace
