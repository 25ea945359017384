#include "platform/iocp.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/completion_packet.h"
#include "platform/threads.h"
#include "platform/win32.h"

namespace {

// A handle whose overlapped operations the test completes by hand.
class CTestFile final : public halcy::KernelObject {};

using platform_test::Packet;
Packet Take(HANDLE port, DWORD timeout_ms) { return platform_test::TakePacket(port, timeout_ms); }

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
  EXPECT_EQ(WAIT_TIMEOUT, Take(port_, 0).error);
}

TEST_F(IocpTest, PostedPacketsComeOutInOrderWithTheirFields) {
  OVERLAPPED a{}, b{};
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 10, 0x100, &a));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 20, 0x200, &b));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 30, 0x300, nullptr));
  const Packet expected[] = {
      {TRUE, 0, 10, 0x100, &a}, {TRUE, 0, 20, 0x200, &b}, {TRUE, 0, 30, 0x300, nullptr}};
  for (const Packet& e : expected) {
    const Packet p = Take(port_, 0);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(e.bytes, p.bytes);
    EXPECT_EQ(e.key, p.key);
    EXPECT_EQ(e.overlapped, p.overlapped);
  }
}

TEST_F(IocpTest, HandleIsBoundOnceAndAnUnboundOnePostsNothing) {
  CTestFile* file = nullptr;
  HANDLE h = NewFile(&file);
  OVERLAPPED ov{};
  EXPECT_FALSE(halcy::PostCompletion(file, 1, &ov, 0));
  // Binding without a port makes a new one.
  HANDLE port = CreateIoCompletionPort(h, nullptr, 5, 1);
  ASSERT_NE(nullptr, port);
  EXPECT_NE(port_, port);
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateIoCompletionPort(h, port_, 2, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  ASSERT_TRUE(halcy::PostCompletion(file, 3, &ov, 0));
  EXPECT_EQ(5u, Take(port, 0).key);
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

TEST_F(IocpTest, TwoSleepingWaitersOnOtherThreadsBothWakeForTwoPackets) {
  // One eventfd signal is shared by all sleepers; the taker passes it on while packets remain.
  OVERLAPPED ov[2] = {};
  Packet got[2] = {};
  std::thread w1([&] { got[0] = Take(port_, INFINITE); });
  std::thread w2([&] { got[1] = Take(port_, INFINITE); });
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 1, &ov[0]));
  ASSERT_TRUE(PostQueuedCompletionStatus(port_, 0, 2, &ov[1]));
  w1.join();
  w2.join();
  EXPECT_TRUE(got[0].ok && got[1].ok);
  EXPECT_EQ((std::set<OVERLAPPED*>{got[0].overlapped, got[1].overlapped}),
            (std::set<OVERLAPPED*>{&ov[0], &ov[1]}));
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
  const Packet p = Take(port_, 5000);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(5u, p.bytes);
  EXPECT_EQ(&ov, p.overlapped);
  EXPECT_EQ(GetCurrentThreadId(), reader.thread);
  port->UnwatchFd(fds[0]);
  ASSERT_EQ(1, write(fds[1], "\x06", 1));
  EXPECT_FALSE(Take(port_, 20).ok);  // no longer watched
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
