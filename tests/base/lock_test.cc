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

// The lock is held (shared or exclusive) while a first and then a second thread queue for it;
// after the release the writer must get in before the reader, whichever queued first.
struct OrderCase {
  bool hold_exclusive;
  bool writer_queues_first;
};

class ReadWriteOrderTest : public testing::TestWithParam<OrderCase> {};

TEST_P(ReadWriteOrderTest, WaitingWriterGoesBeforeWaitingReaders) {
  base::CReadWriteLock rw;
  std::mutex mutex;
  std::vector<std::string> order;  // Guarded by mutex
  auto enter = [&](bool exclusive) {
    exclusive ? rw.AcquireExclusive() : rw.AcquireShared();
    {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(exclusive ? "writer" : "reader");
    }
    rw.Release();
  };
  GetParam().hold_exclusive ? rw.AcquireExclusive() : rw.AcquireShared();
  std::vector<std::thread> threads;
  for (const bool exclusive : {GetParam().writer_queues_first, !GetParam().writer_queues_first}) {
    threads.emplace_back(enter, exclusive);
    // A reader blocks too when only readers hold the lock, because a writer waits.
    ASSERT_TRUE(ipc_test::PollUntil([&] {
      return (exclusive ? rw.waiting_writers_for_testing() : rw.waiting_readers_for_testing()) == 1;
    }));
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(order.empty());
  }
  rw.Release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<std::string>{"writer", "reader"}));
}

INSTANTIATE_TEST_SUITE_P(Holders, ReadWriteOrderTest,
                         testing::Values(OrderCase{false, true}, OrderCase{true, false}));

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
