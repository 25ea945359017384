#include "platform/iocp.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/threads.h"
#include "platform/win32.h"

namespace {

// A handle whose overlapped operations the test completes by hand.
class CTestFile final : public halcy::KernelObject {};

class IocpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open_handles_ = halcy::OpenHandleCountForTesting();
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(nullptr, port_);
  }
  void TearDown() override {
    EXPECT_TRUE(CloseHandle(port_));
    for (HANDLE h : files_) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(open_handles_, halcy::OpenHandleCountForTesting());  // no handle leaked
  }
  HANDLE NewFile(CTestFile** object = nullptr) {
    auto* file = new CTestFile();
    if (object) *object = file;
    files_.push_back(halcy::InsertHandle(file));
    return files_.back();
  }

  size_t open_handles_ = 0;
  HANDLE port_ = nullptr;
  std::vector<HANDLE> files_;
};

TEST_F(IocpTest, EmptyPortTimesOutWithNullOverlappedAndWaitTimeout) {
  DWORD bytes = 1;
  ULONG_PTR key = 1;
  OVERLAPPED* ov = reinterpret_cast<OVERLAPPED*>(0x1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetQueuedCompletionStatus(port_, &bytes, &key, &ov, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
  EXPECT_EQ(nullptr, ov);
  EXPECT_EQ(WAIT_TIMEOUT, GetLastError());
  EXPECT_FALSE(GetQueuedCompletionStatus(port_, &bytes, &key, &ov, 0));
  EXPECT_EQ(WAIT_TIMEOUT, GetLastError());
}

TEST_F(IocpTest, PostedPacketsComeOutInOrderWithTheirFields) {
  OVERLAPPED a{}, b{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 10, 0x100, &a));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 20, 0x200, &b));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 30, 0x300, nullptr));
  struct Expected {
    DWORD bytes;
    ULONG_PTR key;
    OVERLAPPED* ov;
  } expected[] = {{10, 0x100, &a}, {20, 0x200, &b}, {30, 0x300, nullptr}};
  for (const Expected& e : expected) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port_, &bytes, &key, &ov, 0));
    EXPECT_EQ(e.bytes, bytes);
    EXPECT_EQ(e.key, key);
    EXPECT_EQ(e.ov, ov);
  }
}

TEST_F(IocpTest, AssociatedHandleCompletesWithItsKeyAndOverlappedResult) {
  CTestFile* file = nullptr;
  HANDLE h = NewFile(&file);
  EXPECT_EQ(port_, CreateIoCompletionPort(h, port_, 0x42, 1));
  OVERLAPPED ov{};
  ASSERT_TRUE(halcy::PostCompletion(file, 512, &ov, 0));
  EXPECT_EQ(0u, ov.Internal);
  EXPECT_EQ(512u, ov.InternalHigh);
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* got = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port_, &bytes, &key, &got, 0));
  EXPECT_EQ(512u, bytes);
  EXPECT_EQ(0x42u, key);
  EXPECT_EQ(&ov, got);
}

TEST_F(IocpTest, FailedOperationReturnsFalseWithItsOverlappedAndError) {
  CTestFile* file = nullptr;
  HANDLE h = NewFile(&file);
  ASSERT_EQ(port_, CreateIoCompletionPort(h, port_, 7, 1));
  OVERLAPPED ov{};
  ASSERT_TRUE(halcy::PostCompletion(file, 0, &ov, ERROR_BROKEN_PIPE));
  DWORD bytes = 99;
  ULONG_PTR key = 0;
  OVERLAPPED* got = nullptr;
  EXPECT_FALSE(GetQueuedCompletionStatus(port_, &bytes, &key, &got, 0));
  EXPECT_EQ(&ov, got);
  EXPECT_EQ(7u, key);
  EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
  EXPECT_EQ(ERROR_BROKEN_PIPE, ov.Internal);
}

TEST_F(IocpTest, HandleIsBoundOnceAndAnUnboundOnePostsNothing) {
  CTestFile* file = nullptr;
  HANDLE h = NewFile(&file);
  OVERLAPPED ov{};
  EXPECT_FALSE(halcy::PostCompletion(file, 1, &ov, 0));
  ASSERT_EQ(port_, CreateIoCompletionPort(h, port_, 1, 1));
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateIoCompletionPort(h, port_, 2, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(IocpTest, BindingWithoutAPortMakesANewOne) {
  CTestFile* file = nullptr;
  HANDLE h = NewFile(&file);
  HANDLE port = CreateIoCompletionPort(h, nullptr, 5, 1);
  ASSERT_NE(nullptr, port);
  EXPECT_NE(port_, port);
  OVERLAPPED ov{};
  ASSERT_TRUE(halcy::PostCompletion(file, 3, &ov, 0));
  ULONG_PTR key = 0;
  DWORD bytes = 0;
  OVERLAPPED* got = nullptr;
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &got, 0));
  EXPECT_EQ(5u, key);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(IocpTest, BadHandlesAndArgumentsFailCleanly) {
  HANDLE bogus = reinterpret_cast<HANDLE>(0x5eed);
  OVERLAPPED* ov = nullptr;
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  EXPECT_FALSE(GetQueuedCompletionStatus(bogus, &bytes, &key, &ov, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(PostQueuedCompletionStatus(bogus, 0, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(nullptr, CreateIoCompletionPort(bogus, port_, 0, 1));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(nullptr, CreateIoCompletionPort(INVALID_HANDLE_VALUE, port_, 0, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(nullptr, CreateIoCompletionPort(port_, nullptr, 0, 1));  // a port is no file
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  HANDLE h = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));  // closed handles are not handed out again
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(GetQueuedCompletionStatus(h, &bytes, &key, &ov, 0));
}

TEST_F(IocpTest, SleepingWaiterOnAnotherThreadWakesForAPost) {
  OVERLAPPED ov{};
  BOOL ok = FALSE;
  OVERLAPPED* got = nullptr;
  std::thread waiter([&] {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    ok = GetQueuedCompletionStatus(port_, &bytes, &key, &got, INFINITE);
  });
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 1, 1, &ov));
  waiter.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(&ov, got);
}

TEST_F(IocpTest, TwoSleepingWaitersBothWakeForTwoPackets) {
  // One eventfd signal is shared by all sleepers; the taker passes it on while packets remain.
  std::atomic<int> woke{0};
  auto wait = [&] {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    if (GetQueuedCompletionStatus(port_, &bytes, &key, &ov, INFINITE)) woke++;
  };
  std::thread w1(wait), w2(wait);
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 1, nullptr));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 2, nullptr));
  w1.join();
  w2.join();
  EXPECT_EQ(2, woke.load());
}

TEST_F(IocpTest, ClosingThePortEndsAWaitInProgress) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  halcy::KernelRef<halcy::CompletionPort> object = halcy::LookUpHandle<halcy::CompletionPort>(port);
  ASSERT_TRUE(object);
  DWORD result = 0;
  std::thread waiter([&] {
    halcy::CompletionPacket packet{};
    result = object->Wait(INFINITE, &packet);
  });
  EXPECT_TRUE(CloseHandle(port));
  waiter.join();
  EXPECT_EQ(ERROR_ABANDONED_WAIT_0, result);
}

// Reads one byte when its descriptor is ready and completes an operation for it.
class CByteReader final : public halcy::FdWatcher {
 public:
  CByteReader(HANDLE port, OVERLAPPED* ov) : port_(port), ov_(ov) {}
  void OnFdReady(int fd, uint32_t /*events*/) override {
    char c = 0;
    if (read(fd, &c, 1) == 1) {
      thread = GetCurrentThreadId();
      PostQueuedCompletionStatus(port_, static_cast<DWORD>(c), 9, ov_);
    }
  }
  DWORD thread = 0;

 private:
  HANDLE port_;
  OVERLAPPED* ov_;
};

TEST_F(IocpTest, WatchedDescriptorIsServicedByTheWaitingThread) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  OVERLAPPED ov{};
  CByteReader reader(port_, &ov);
  halcy::KernelRef<halcy::CompletionPort> port = halcy::LookUpHandle<halcy::CompletionPort>(port_);
  ASSERT_TRUE(port->WatchFd(fds[0], 0x001 /*EPOLLIN*/, &reader));
  ASSERT_EQ(1, write(fds[1], "\x05", 1));
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* got = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port_, &bytes, &key, &got, 5000));
  EXPECT_EQ(5u, bytes);
  EXPECT_EQ(&ov, got);
  EXPECT_EQ(GetCurrentThreadId(), reader.thread);
  port->UnwatchFd(fds[0]);
  ASSERT_EQ(1, write(fds[1], "\x06", 1));
  EXPECT_FALSE(GetQueuedCompletionStatus(port_, &bytes, &key, &got, 20));  // no longer watched
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
