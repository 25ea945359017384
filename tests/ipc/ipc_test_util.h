// Shared by the IPC tests (PollUntil by the base tests as well): a listener that records what
// reaches it and on which thread, a message that counts its destruction, raw socket ends for the
// bytes on the wire, and the fixture that runs channels on a test host.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"
#include "platform/kernel_object.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"

namespace ipc_test {

constexpr auto kWaitLimit = std::chrono::seconds(10);

// Polls `pred` with short sleeps until it holds or `limit` passes, for conditions that nothing
// notifies (another thread's or process's state); returns the final value.
inline bool PollUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline std::string WireBytes(const IPC::CMessage& m) { return std::string(m.data(), m.size()); }
inline std::string PayloadOf(const IPC::CMessage& m) {
  return std::string(m.data() + m.header_size(), m.payload_size());
}

// "ipctest.<pid>.<n>": unique within the machine while the process lives.
inline std::u16string UniqueChannelId() {
  static std::atomic<int> counter{0};
  return halcy::Utf8ToUtf16("ipctest." + std::to_string(getpid()) + "." +
                            std::to_string(++counter));
}

// A blocking raw client end on the pipe of a channel id whose reads give up after kWaitLimit;
// -1 on failure.
inline int RawConnect(const std::u16string& channel_id) {
  const std::string path = halcy::PipePathForName(channel_id);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return -1;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{std::chrono::seconds(kWaitLimit).count(), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

// Reads exactly `n` bytes (empty on end of stream or error).
inline std::string RawReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  for (size_t done = 0; done < n;) {
    ssize_t got = recv(fd, out.data() + done, n - done, 0);
    if (got <= 0) return std::string();
    done += static_cast<size_t>(got);
  }
  return out;
}

// A message whose payload is `value`, then `filler` bytes; counts its own destruction.
class CountedMessage : public IPC::CMessage {
 public:
  CountedMessage(bool sync, int32_t value, size_t filler, std::atomic<int>* destroyed)
      : CMessage(sync, 0x07000300), destroyed_(destroyed) {
    WriteInt(value);
    const std::string bytes(filler, 'f');
    WriteBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  ~CountedMessage() override { ++*destroyed_; }

 private:
  std::atomic<int>* destroyed_;
};

struct Received {
  uint32_t type;
  uint32_t routing_id;
  std::string payload;
  DWORD thread_id;
};

class RecordingListener : public IPC::CChannel::CListener {
 public:
  // With a null `loop` the listener names no loop to the proxy.
  explicit RecordingListener(Thread::CMessageLoop* loop) : loop_(loop ? loop->proxy() : nullptr) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    std::function<void(const IPC::CMessage&)> fn;
    Update([&] {
      messages_.push_back({m.type(), m.routing_id(), PayloadOf(m), GetCurrentThreadId()});
      fn = on_message_;
    });
    if (fn) fn(m);
  }
  void OnChannelConnected(int32_t pid) override {
    Update([&] { connected_.push_back(pid); });
  }
  void OnChannelError() override {
    Update([&] { ++errors_; });
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    if (*proxy) (*proxy)->AddRef();
  }
  // Runs on the listener's thread after a message has been recorded.
  void set_on_message(std::function<void(const IPC::CMessage&)> fn) {
    Update([&] { on_message_ = std::move(fn); });
  }

  std::vector<Received> messages() { return Get(messages_); }
  std::vector<uint32_t> types() {
    std::vector<uint32_t> out;
    for (const Received& m : messages()) out.push_back(m.type);
    return out;
  }
  std::vector<int32_t> connected() { return Get(connected_); }
  int errors() { return Get(errors_); }
  // Each waits until at least `n` have been recorded; false after kWaitLimit.
  bool WaitForMessages(size_t n) {
    return WaitUntil([&] { return messages_.size() >= n; });
  }
  bool WaitForConnected(size_t n) {
    return WaitUntil([&] { return connected_.size() >= n; });
  }
  bool WaitForErrors(int n) {
    return WaitUntil([&] { return errors_ >= n; });
  }

 private:
  ~RecordingListener() override = default;
  template <class F>
  void Update(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    cv_.notify_all();
  }
  template <class T>
  T Get(const T& member) {
    std::lock_guard<std::mutex> lock(mutex_);
    return member;
  }
  bool WaitUntil(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kWaitLimit, pred);
  }

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<void(const IPC::CMessage&)> on_message_;  // Guarded by mutex_
  std::vector<Received> messages_;                        // Guarded by mutex_
  std::vector<int32_t> connected_;                        // Guarded by mutex_
  int errors_ = 0;                                        // Guarded by mutex_
};

// Fixture base for channels on a test host: a private runtime directory for the pipes, a fresh
// channel id, raw sockets closed at the end, and a check that every handle opened is closed.
class IpcHostTest : public ::testing::Test {
 protected:
  void SetUp() override { handles_before_ = halcy::OpenHandleCountForTesting(); }
  // For TearDown, once the test's channels are released.
  void CheckNothingLeft() {
    ASSERT_TRUE(host_.WaitIdle());
    for (int fd : fds_) close(fd);
    EXPECT_EQ(handles_before_, halcy::OpenHandleCountForTesting());
  }
  // Closes `fd` at the end of the test.
  int Track(int fd) {
    fds_.push_back(fd);
    return fd;
  }

  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv runtime_dir_{"XDG_RUNTIME_DIR", dir_.path()};
  testing_support::TestHost host_;
  size_t handles_before_ = 0;
  std::u16string id_ = UniqueChannelId();
  std::vector<int> fds_;
};

}  // namespace ipc_test
