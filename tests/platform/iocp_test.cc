#include "platform/iocp.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "platform/completion_packet.h"
#include "platform/threads.h"
#include "platform/win32.h"

namespace {

// A handle whose overlapped operations the test completes by hand.
class CTestFile final : public halcy::KernelObject {};

using platform_test::Packet;
using platform_test::TakePacket;

class IocpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open_handles_ = halcy::OpenHandleCountForTesting();
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(nullptr, port_);
  }
  void TearDown() override {
    EXPECT_TRUE(CloseHandle(port_));
    EXPECT_EQ(open_handles_, halcy::OpenHandleCountForTesting());  // no handle leaked
  }

  size_t open_handles_ = 0;
  HANDLE port_ = nullptr;
};

TEST_F(IocpTest, EmptyPortTimesOutWithNullOverlappedAndWaitTimeout) {
  OVERLAPPED* ov = reinterpret_cast<OVERLAPPED*>(0x1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetQueuedCompletionStatus(port_, nullptr, nullptr, &ov, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
  EXPECT_EQ(nullptr, ov);
  EXPECT_EQ(WAIT_TIMEOUT, GetLastError());
}

TEST_F(IocpTest, PostedPacketsComeOutInOrderWithTheirFields) {
  OVERLAPPED a{}, b{};
  const Packet posted[] = {{TRUE, 0, 10, 0x100, &a}, {TRUE, 0, 20, 0x200, &b}};
  for (const Packet& p : posted)
    ASSERT_TRUE(PostQueuedCompletionStatus(port_, p.bytes, p.key, p.overlapped));
  for (const Packet& e : posted) {
    const Packet p = TakePacket(port_, 0);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(e.bytes, p.bytes);
    EXPECT_EQ(e.key, p.key);
    EXPECT_EQ(e.overlapped, p.overlapped);
  }
}

TEST_F(IocpTest, HandleIsBoundOnceAndAnUnboundOnePostsNothing) {
  auto* file = new CTestFile();
  HANDLE h = halcy::InsertHandle(file);
  OVERLAPPED ov{};
  EXPECT_FALSE(halcy::PostCompletion(file, 1, &ov, 0));
  // Binding without a port makes a new one.
  HANDLE port = CreateIoCompletionPort(h, nullptr, 5, 1);
  ASSERT_NE(nullptr, port);
  EXPECT_NE(port_, port);
  EXPECT_EQ(nullptr, CreateIoCompletionPort(h, port_, 2, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  ASSERT_TRUE(halcy::PostCompletion(file, 3, &ov, 0));
  EXPECT_EQ(5u, TakePacket(port, 0).key);
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(IocpTest, BadHandlesAndArgumentsFailCleanly) {
  HANDLE bogus = reinterpret_cast<HANDLE>(0x5eed);
  EXPECT_EQ(ERROR_INVALID_HANDLE, TakePacket(bogus, 0).error);
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
}

// One eventfd signal is shared by all sleepers; the taker passes it on while packets remain.
TEST_F(IocpTest, TwoSleepingWaitersOnOtherThreadsBothWakeForTwoPackets) {
  OVERLAPPED ov[2] = {};
  Packet got[2] = {};
  std::thread w1([&] { got[0] = TakePacket(port_, INFINITE); });
  std::thread w2([&] { got[1] = TakePacket(port_, INFINITE); });
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 1, &ov[0]));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 2, &ov[1]));
  w1.join();
  w2.join();
  EXPECT_EQ((std::set<OVERLAPPED*>{got[0].overlapped, got[1].overlapped}),
            (std::set<OVERLAPPED*>{&ov[0], &ov[1]}));
}

TEST_F(IocpTest, ClosingThePortEndsAWaitInProgress) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  halcy::KernelRef<halcy::CompletionPort> object = halcy::LookUpHandle<halcy::CompletionPort>(port);
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
  explicit CByteReader(HANDLE port) : port_(port) {}
  void OnFdReady(int fd, uint32_t /*events*/) override {
    char c = 0;
    if (read(fd, &c, 1) == 1) PostQueuedCompletionStatus(port_, GetCurrentThreadId(), c, nullptr);
  }

 private:
  HANDLE port_;
};

TEST_F(IocpTest, WatchedDescriptorIsServicedByTheWaitingThread) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  CByteReader reader(port_);
  halcy::KernelRef<halcy::CompletionPort> port = halcy::LookUpHandle<halcy::CompletionPort>(port_);
  ASSERT_TRUE(port->WatchFd(fds[0], 0x001 /*EPOLLIN*/, &reader));
  ASSERT_EQ(1, write(fds[1], "\x05", 1));
  const Packet p = TakePacket(port_, 5000);
  EXPECT_EQ(5u, p.key);
  EXPECT_EQ(GetCurrentThreadId(), p.bytes);
  port->UnwatchFd(fds[0]);
  ASSERT_EQ(1, write(fds[1], "\x06", 1));
  EXPECT_FALSE(TakePacket(port_, 20).ok);  // no longer watched
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
