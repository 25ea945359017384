// Helpers for the IPC tests: a listener that records what reaches it (and on which thread),
// a message that counts its destruction, unique channel ids, raw socket ends for looking at the
// bytes on the wire, and waiting on a condition with a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"
#include "platform/threads.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"

namespace ipc_test {

constexpr auto kWaitLimit = std::chrono::seconds(10);

// Polls `pred` with short sleeps until it holds or `limit` passes, for conditions that nothing
// notifies (another thread's or process's state); returns the final value.
bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = kWaitLimit);

inline std::string WireBytes(const IPC::CMessage& m) { return std::string(m.data(), m.size()); }
inline std::string PayloadOf(const IPC::CMessage& m) {
  return std::string(m.data() + m.header_size(), m.payload_size());
}

// "ipctest.<pid>.<n>": unique within the machine while the process lives.
std::u16string UniqueChannelId();

// A blocking raw client end on the pipe path of a channel id, whose reads give up after
// kWaitLimit; -1 on failure.
int RawConnect(const std::u16string& channel_id);
bool RawWriteAll(int fd, const std::string& bytes);
// Reads exactly `n` bytes (empty on end of stream or error).
std::string RawReadExactly(int fd, size_t n);

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
  // `loop` may be null: such a listener names no loop to the proxy.
  explicit RecordingListener(Thread::CMessageLoop* loop) : loop_(loop ? loop->proxy() : nullptr) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    std::function<void(const IPC::CMessage&)> fn;
    Update([&] {
      messages_.push_back({m.type(), m.routing_id(), PayloadOf(m), GetCurrentThreadId()});
      fn = on_message_;
    });
    if (fn) fn(m);
  }
  void OnChannelConnected(int32_t peer_pid) override {
    Update([&] { connected_.push_back(peer_pid); });
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
  // Each waits until at least `n` have been recorded; false after `limit`.
  bool WaitForMessages(size_t n, std::chrono::milliseconds limit = kWaitLimit) {
    return WaitUntil([&] { return messages_.size() >= n; }, limit);
  }
  bool WaitForConnected(size_t n) {
    return WaitUntil([&] { return connected_.size() >= n; }, kWaitLimit);
  }
  bool WaitForErrors(int n) {
    return WaitUntil([&] { return errors_ >= n; }, kWaitLimit);
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
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, pred);
  }

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<void(const IPC::CMessage&)> on_message_;  // Guarded by mutex_
  std::vector<Received> messages_;                        // Guarded by mutex_
  std::vector<int32_t> connected_;                        // Guarded by mutex_
  int errors_ = 0;                                        // Guarded by mutex_
};

}  // namespace ipc_test
