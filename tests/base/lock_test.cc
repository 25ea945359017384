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

// The lock is held (shared or exclusive: the first parameter) while a first and then a second
// thread queue for it; after the release the writer must get in before the reader, whichever
// queued first (the second parameter: the writer did).
class ReadWriteOrderTest : public testing::TestWithParam<std::pair<bool, bool>> {};

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
  GetParam().first ? rw.AcquireExclusive() : rw.AcquireShared();
  std::vector<std::thread> threads;
  for (const bool exclusive : {GetParam().second, !GetParam().second}) {
    threads.emplace_back(enter, exclusive);
    // A reader blocks too when only readers hold the lock, because a writer waits.
    ASSERT_TRUE(ipc_test::PollUntil([&] {
      return (exclusive ? rw.waiting_writers_for_testing() : rw.waiting_readers_for_testing()) == 1;
    }));
  }
  rw.Release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<std::string>{"writer", "reader"}));
}

INSTANTIATE_TEST_SUITE_P(Holders, ReadWriteOrderTest,
                         testing::Values(std::pair{false, true}, std::pair{true, false}));

// The readers stay until all three are in: they hold the lock together.
TEST(ReadWriteLockTest, ReleasingWriterLetsAllWaitingReadersInAtOnce) {
  base::CReadWriteLock rw;
  rw.AcquireExclusive();
  std::atomic<int> inside{0};
  std::atomic<bool> leave{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      rw.AcquireShared();
      ++inside;
      ipc_test::PollUntil([&] { return leave.load(); });
      rw.Release();
    });
  }
  ASSERT_TRUE(ipc_test::PollUntil([&] { return rw.waiting_readers_for_testing() == 3; }));
  rw.Release();
  EXPECT_TRUE(ipc_test::PollUntil([&] { return inside.load() == 3; }));
  leave = true;
  for (auto& t : readers) t.join();
  rw.AcquireExclusive();  // free again: a writer gets it at once
  rw.Release();
}

}  // namespace
