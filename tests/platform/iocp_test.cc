// Completion ports, and named pipes over Unix sockets whose overlapped connect, read, write,
// cancel and close complete on a port with the codes the channel relies on.
#include "platform/iocp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/hcsafe.h"
#include "platform/named_pipe.h"
#include "platform/win32.h"
#include "support/temp_env.h"

namespace {

// One packet taken from a port, with the thread's last error when the dequeue failed.
struct Packet {
  BOOL ok;
  DWORD error;
  DWORD bytes;
  ULONG_PTR key;
  OVERLAPPED* overlapped;
};

Packet TakePacket(HANDLE port, DWORD timeout_ms) {
  Packet p{FALSE, 0, 0, 0, reinterpret_cast<OVERLAPPED*>(0x1)};  // a time-out must null it
  p.ok = GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.overlapped, timeout_ms);
  p.error = p.ok ? 0 : GetLastError();
  return p;
}

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
    EXPECT_EQ(open_handles_, halcy::OpenHandleCountForTesting());  // no handle leaked
  }

  size_t open_handles_ = 0;
  HANDLE port_ = nullptr;
};

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

constexpr DWORD kOpenMode = 0x40080003;
constexpr DWORD kClientFlags = 0x40110000;
constexpr ULONG_PTR kServerKey = 0x51;
constexpr ULONG_PTR kClientKey = 0xC1;

class NamedPipeTest : public IocpTest {
 protected:
  void TearDown() override {
    for (HANDLE h : {server_, client_}) {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    IocpTest::TearDown();  // completions of the closed pipes still in the port go with it
  }

  // Through the platform library, which gives its error in `error_`.
  HANDLE CreateServer(const char16_t* name) {
    return Internal_HC_CreateNamedPipeW(name, kOpenMode, 0, 1, 4096, 4096, 5000, nullptr, &error_);
  }
  HANDLE OpenClient(const char16_t* name) {
    return Internal_HC_CreateFileW(name, 0xC0000000, 0, nullptr, 3, kClientFlags, nullptr, &error_);
  }
  // A connected pair, both bound to the port.
  void Connect(const char16_t* name) {
    server_ = CreateServer(name);
    client_ = OpenClient(name);
    ASSERT_EQ(CreateIoCompletionPort(server_, port_, kServerKey, 1), port_);
    ASSERT_EQ(CreateIoCompletionPort(client_, port_, kClientKey, 1), port_);
    // The client is already there: 535 at once and no packet on the port.
    OVERLAPPED ov{};
    ASSERT_FALSE(ConnectNamedPipe(server_, &ov));
    ASSERT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
    ASSERT_EQ(Take(0).error, WAIT_TIMEOUT);
  }
  Packet Take(DWORD timeout_ms = 5000) { return TakePacket(port_, timeout_ms); }
  // Takes the next packet and checks it came from `ov` with `error` (0: success) and `bytes`.
  void ExpectPacket(OVERLAPPED* ov, DWORD error, DWORD bytes, ULONG_PTR key) {
    const Packet p = Take();
    EXPECT_EQ(p.overlapped, ov);
    EXPECT_EQ(p.error, error);
    EXPECT_EQ(p.bytes, bytes);
    EXPECT_EQ(p.key, key);
  }

  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv runtime_dir_{"XDG_RUNTIME_DIR", dir_.path()};
  DWORD error_ = 0;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE client_ = INVALID_HANDLE_VALUE;
};

TEST_F(NamedPipeTest, ConnectPendsUntilTheClientOpensThenCompletesOnThePort) {
  server_ = CreateServer(u"1234.01A2B3C4.5678");
  ASSERT_EQ(CreateIoCompletionPort(server_, port_, kServerKey, 1), port_);
  OVERLAPPED ov{};
  EXPECT_FALSE(ConnectNamedPipe(server_, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(Take(0).overlapped, nullptr);  // nobody there yet: a time-out
  client_ = OpenClient(u"1234.01A2B3C4.5678");
  ExpectPacket(&ov, 0, 0, kServerKey);
}

TEST_F(NamedPipeTest, PendingAndImmediateReadsAndWritesAllCompleteOnThePort) {
  Connect(u"rw");
  char buf[16];
  OVERLAPPED rov{}, wov{};
  EXPECT_FALSE(ReadFile(server_, buf, sizeof(buf), nullptr, &rov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client_, "abc", 3, &written, &wov));
  EXPECT_EQ(written, 3u);
  std::set<OVERLAPPED*> done;
  for (int i = 0; i < 2; ++i) {
    const Packet p = Take();
    EXPECT_EQ(p.bytes, 3u);
    done.insert(p.overlapped);
  }
  EXPECT_EQ(done, (std::set<OVERLAPPED*>{&rov, &wov}));
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(rov.InternalHigh, 3u);
  // With the data already there, the read succeeds at once and still queues its packet.
  ASSERT_TRUE(WriteFile(client_, "hello", 5, nullptr, &wov));
  ExpectPacket(&wov, 0, 5, kClientKey);
  ASSERT_TRUE(ReadFile(server_, buf, sizeof(buf), nullptr, &rov));
  ExpectPacket(&rov, 0, 5, kServerKey);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST_F(NamedPipeTest, PeerThatClosesGivesZeroByteReadCompletionWithBrokenPipe) {
  Connect(u"closing");
  char buf[16];
  OVERLAPPED rov{};
  ASSERT_FALSE(ReadFile(server_, buf, sizeof(buf), nullptr, &rov));
  ASSERT_TRUE(CloseHandle(client_));
  client_ = INVALID_HANDLE_VALUE;
  ExpectPacket(&rov, ERROR_BROKEN_PIPE, 0, kServerKey);
  // Once seen closed, a read fails at once, and a write with "the pipe is being closed".
  EXPECT_FALSE(ReadFile(server_, buf, sizeof(buf), nullptr, &rov));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WriteFile(server_, "x", 1, nullptr, &rov));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
}

TEST_F(NamedPipeTest, LargeWriteCompletesOnceEveryByteIsWritten) {
  Connect(u"large");
  std::string data(4 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  OVERLAPPED wov{};
  ASSERT_FALSE(WriteFile(client_, data.data(), static_cast<DWORD>(data.size()), nullptr, &wov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);  // more than the socket buffers hold
  std::string received;
  char buf[65536];
  bool write_done = false;
  while (received.size() < data.size()) {
    OVERLAPPED rov{};
    ReadFile(server_, buf, sizeof(buf), nullptr, &rov);
    Packet p = Take();
    if (p.overlapped == &wov) {
      EXPECT_EQ(p.bytes, data.size());
      write_done = true;
      p = Take();
    }
    ASSERT_TRUE(p.ok && p.overlapped == &rov) << p.error;
    received.append(buf, p.bytes);
  }
  if (!write_done) ExpectPacket(&wov, 0, static_cast<DWORD>(data.size()), kClientKey);
  EXPECT_TRUE(received == data);
}

TEST_F(NamedPipeTest, CancelIoAndCloseCompletePendingOperationsAsAborted) {
  Connect(u"cancel");
  char buf[16];
  OVERLAPPED rov{}, second{};
  ASSERT_FALSE(ReadFile(server_, buf, sizeof(buf), nullptr, &rov));
  ASSERT_TRUE(CancelIo(server_));
  ExpectPacket(&rov, ERROR_OPERATION_ABORTED, 0, kServerKey);
  ASSERT_FALSE(ReadFile(server_, buf, sizeof(buf), nullptr, &second));
  ASSERT_TRUE(CloseHandle(server_));
  server_ = INVALID_HANDLE_VALUE;
  ExpectPacket(&second, ERROR_OPERATION_ABORTED, 0, kServerKey);
}

TEST_F(NamedPipeTest, OneInstancePerNameAndTheNameGoesWhenAClientIsIn) {
  server_ = CreateServer(u"single");
  EXPECT_EQ(CreateServer(u"single"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenClient(u"nobody"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_FILE_NOT_FOUND);
  client_ = OpenClient(u"single");
  ASSERT_EQ(CreateIoCompletionPort(server_, port_, kServerKey, 1), port_);
  OVERLAPPED ov{};
  ConnectNamedPipe(server_, &ov);
  EXPECT_EQ(OpenClient(u"single"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_FILE_NOT_FOUND);
}

TEST_F(NamedPipeTest, NamesMapIntoThePrivateDirectory) {
  const std::string dir = dir_.path() + "/halcy-pipes";
  EXPECT_EQ(halcy::PipePathForName(u"1234.01A2B3C4.5678"), dir + "/1234.01A2B3C4.5678");
  EXPECT_EQ(halcy::PipePathForName(u"\\\\.\\pipe\\abc"), dir + "/abc");
  // 200 units are longer than a socket address holds.
  for (const auto& bad :
       std::vector<std::u16string>{u"", u".", u"..", u"a/b", u"a\\b", std::u16string(200, u'x')}) {
    EXPECT_EQ(halcy::PipePathForName(bad), "");
  }
  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(CreateServer(u"a/b"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_INVALID_NAME);
}

TEST_F(NamedPipeTest, DirectoryOpenToOthersIsRefused) {
  const std::string dir = dir_.path() + "/halcy-pipes";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  EXPECT_EQ(CreateServer(u"x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_PATH_NOT_FOUND);
}

TEST_F(NamedPipeTest, LibraryRefusesOtherPipeParametersAndLeavesTheLastErrorAlone) {
  EXPECT_EQ(Internal_HC_CreateNamedPipeW(u"p", kOpenMode, 0, 2, 4096, 4096, 0, nullptr, &error_),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(
      Internal_HC_CreateFileW(u"p", 0x80000000, 0, nullptr, 3, kClientFlags, nullptr, &error_),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(error_, ERROR_INVALID_PARAMETER);
  SetLastError(77);
  EXPECT_FALSE(Internal_HC_CancelIo(reinterpret_cast<HANDLE>(0x4), &error_));
  EXPECT_EQ(error_, ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), 77u);
}

}  // namespace
