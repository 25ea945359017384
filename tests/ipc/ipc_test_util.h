// Helpers for the IPC tests: a listener that records what reaches it (and on which thread),
// unique channel ids, raw socket ends for looking at the bytes on the wire, and waiting on a
// condition with a deadline. Listener records are guarded by their own mutex; waits use a
// condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"
#include "platform/win_types.h"
#include "thread/message_loop_proxy.h"

namespace Thread {
class CMessageLoop;
}

namespace ipc_test {

constexpr auto kWaitLimit = std::chrono::seconds(10);

struct Received {
  uint32_t type;
  uint32_t routing_id;
  uint32_t flags;
  std::string payload;  // raw payload bytes
  DWORD thread_id;
};

class RecordingListener : public IPC::CChannel::CListener {
 public:
  // `loop` may be null: such a listener names no loop to the proxy.
  explicit RecordingListener(Thread::CMessageLoop* loop);

  void OnMessageReceived(const IPC::CMessage& message) override;
  void OnChannelConnected(int32_t peer_pid) override;
  void OnChannelError() override;
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override;

  // Runs on the listener's thread after a message has been recorded.
  void set_on_message(std::function<void(const IPC::CMessage&)> fn);

  std::vector<Received> messages();
  std::vector<int32_t> connected();
  int errors();
  // Each waits until at least `count` have been recorded; false after `limit`.
  bool WaitForMessages(size_t count, std::chrono::milliseconds limit = kWaitLimit) {
    return WaitUntil([&] { return messages_.size() >= count; }, limit);
  }
  bool WaitForConnected(size_t count, std::chrono::milliseconds limit = kWaitLimit) {
    return WaitUntil([&] { return connected_.size() >= count; }, limit);
  }
  bool WaitForErrors(int count, std::chrono::milliseconds limit = kWaitLimit) {
    return WaitUntil([&] { return errors_ >= count; }, limit);
  }

 protected:
  ~RecordingListener() override = default;

 private:
  // `pred` runs with mutex_ held and reads the members directly.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::function<void(const IPC::CMessage&)> on_message_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Received> messages_;  // Guarded by mutex_
  std::vector<int32_t> connected_;  // Guarded by mutex_
  int errors_ = 0;                  // Guarded by mutex_
};

// "ipctest.<pid>.<n>": unique within the machine while the process lives.
std::u16string UniqueChannelId();

// The wire bytes of a message.
std::string WireBytes(const IPC::CMessage& message);
std::string PayloadOf(const IPC::CMessage& message);

// Blocking raw socket ends on the pipe path of a channel id.
int RawConnect(const std::u16string& channel_id);  // -1 on failure
int RawListen(const std::u16string& channel_id);   // -1 on failure
int RawAccept(int listen_fd);
bool RawWriteAll(int fd, const std::string& bytes);
// Reads exactly `n` bytes (empty on end of stream or error).
std::string RawReadExactly(int fd, size_t n);

// Polls `pred` with short sleeps until it holds or `limit` passes. For conditions with no
// notification (another process's state); returns the final value.
bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = kWaitLimit);

}  // namespace ipc_test
