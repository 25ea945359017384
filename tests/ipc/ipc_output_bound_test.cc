// The bound on a channel's output queue: the message that would pass it is refused and freed,
// the failure is reported once, the queue does not grow, and what was accepted reaches the peer
// whole and in order once it reads. Then the same through the proxy and the synchronous proxy.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>

#include "ipc/ipc_channel.h"
#include "ipc/ipc_channel_proxy.h"
#include "ipc/ipc_host_test.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_sync_channel.h"
#include "ipc/ipc_test_util.h"
#include "support/log_capture.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RecordingListener;
using Thread::kThreadIPC;

// Far above what the socket takes in before a write stays pending (about 200 KiB).
constexpr size_t kBound = 2 << 20;

// A message that counts its own destruction; its payload is `value`, then `filler` bytes.
class TrackedMessage : public CMessage {
 public:
  TrackedMessage(bool sync, int32_t value, size_t filler, std::atomic<int>* destroyed)
      : CMessage(sync, 0x07000300), destroyed_(destroyed) {
    WriteInt(value);
    const std::string bytes(filler, static_cast<char>('a' + value % 26));
    WriteBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  ~TrackedMessage() override { destroyed_->fetch_add(1); }

 private:
  std::atomic<int>* destroyed_;
};

class OutputBoundTest : public ipc_test::IpcHostTest {
 protected:
  void TearDown() override {
    host_.RunOn(kThreadIPC, [&] { channel_ = nullptr; });  // destroyed where it lives
    proxy_.reset();
    CheckNothingLeft();
  }
  size_t Queued(CChannel* channel) {
    return host_.RunOn(kThreadIPC, [&] { return channel->queued_bytes(); });
  }

  // Outlive the channel and the proxies, which may free messages up to their TearDown.
  std::deque<std::atomic<int>> each_destroyed_;
  std::atomic<int> destroyed_{0};
  RefPtr<CChannel> channel_;
  std::unique_ptr<CChannelProxy> proxy_;
  base::CWaitableEvent shutdown_{false};
};

TEST_F(OutputBoundTest, ChannelRefusesTheMessagePastTheBoundOnceAndWritesWhatItHeld) {
  testing_support::LogCapture log;
  RefPtr<RecordingListener> listener(new RecordingListener(nullptr));  // called on the IPC thread
  host_.RunOn(kThreadIPC, [&] {
    channel_ = RefPtr<CChannel>(new CChannel(listener.get(), id_, 0));
    ASSERT_TRUE(channel_->CreatePipe());
    ASSERT_TRUE(channel_->Connect());
  });
  const int fd = ipc_test::RawConnect(id_);  // closed by the test itself, below
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return Queued(channel_.get()) == 0; }));  // hello out
  std::string expected = ipc_test::WireBytes(CMsgHello(getpid()));
  auto* exact = new TrackedMessage(false, 0, 1000, &each_destroyed_.emplace_back(0));
  expected += ipc_test::WireBytes(*exact);
  host_.RunOn(kThreadIPC, [&] {
    channel_->set_max_queued_bytes_for_testing(exact->size());
    EXPECT_TRUE(channel_->Send(exact));  // fits exactly
    channel_->set_max_queued_bytes_for_testing(kBound);
  });
  // The peer does not read: the queue grows until a message would pass the bound.
  bool refused = false;
  for (int i = 1; i < 1000 && !refused; ++i) {
    auto* message = new TrackedMessage(false, i, 100000, &each_destroyed_.emplace_back(0));
    const std::string wire = ipc_test::WireBytes(*message);
    size_t before = 0, after = 0;
    const bool sent = host_.RunOn(kThreadIPC, [&] {
      before = channel_->queued_bytes();
      const bool ok = channel_->Send(message);
      after = channel_->queued_bytes();
      return ok;
    });
    ASSERT_LE(after, kBound) << "message " << i;
    if (sent) {
      EXPECT_EQ(after, before + wire.size());
      expected += wire;
      continue;
    }
    refused = true;
    EXPECT_GT(before + wire.size(), kBound);  // refused because of the bound, not before it
    EXPECT_EQ(after, before);
    EXPECT_EQ(each_destroyed_.back().load(), 1);  // freed by Send itself
  }
  ASSERT_TRUE(refused);
  EXPECT_EQ(listener->errors(), 1);  // reported from inside the refused Send
  EXPECT_TRUE(log.Contains(u"Output queue full"));
  const size_t held = Queued(channel_.get());
  auto* late = new TrackedMessage(false, -1, 0, &each_destroyed_.emplace_back(0));
  EXPECT_FALSE(host_.RunOn(kThreadIPC, [&] { return channel_->Send(late); }));  // for good
  EXPECT_EQ(Queued(channel_.get()), held);

  // The peer reads at last: everything accepted arrives byte-exact and in order, then nothing.
  EXPECT_TRUE(ipc_test::RawReadExactly(fd, expected.size()) == expected);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return Queued(channel_.get()) == 0; }));
  char extra;
  EXPECT_EQ(recv(fd, &extra, 1, MSG_DONTWAIT), -1);
  for (const auto& d : each_destroyed_) EXPECT_EQ(d.load(), 1);
  // The peer going away fails the read as well; that is not reported a second time.
  close(fd);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return log.Contains(u"Close Pipe\n"); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener->errors(), 1);
}

TEST_F(OutputBoundTest, ProxyReportsTheRefusalToEachListenerOnceAndThenRefusesAtOnce) {
  proxy_ = std::make_unique<CChannelProxy>(id_, 0, host_.Loop(kThreadIPC));
  RefPtr<RecordingListener> first(new RecordingListener(host_.Loop(Thread::kThreadUI)));
  RefPtr<RecordingListener> second(
      new RecordingListener(host_.Loop(Thread::kThreadExtensionManager)));
  proxy_->AddListener(first.get(), 0);
  proxy_->AddListener(second.get(), 0);
  CChannel* channel = host_.RunOn(kThreadIPC, [&] {
    proxy_->context()->channel()->set_max_queued_bytes_for_testing(kBound);
    return proxy_->context()->channel();
  });
  // No peer connects: everything stays queued until the proxy refuses.
  int created = 1;
  while (proxy_->Send(new TrackedMessage(false, created, 16 * 1024, &destroyed_))) {
    ASSERT_LT(++created, 5000);
  }
  ASSERT_TRUE(first->WaitForErrors(1));
  ASSERT_TRUE(second->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  const auto [held_count, held_bytes] = host_.RunOn(kThreadIPC, [&] {
    return std::make_pair(channel->queued_message_count(), channel->queued_bytes());
  });
  EXPECT_LE(held_bytes, kBound);
  EXPECT_EQ(static_cast<size_t>(created - destroyed_.load()), held_count - 1);  // and the hello
  const int before = destroyed_.load();
  EXPECT_FALSE(proxy_->Send(new TrackedMessage(false, -1, 0, &destroyed_)));
  EXPECT_EQ(destroyed_.load(), before + 1);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(first->errors(), 1);
  EXPECT_EQ(second->errors(), 1);
  proxy_.reset();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(destroyed_.load(), created + 1);  // the held ones are freed with the channel
}

TEST_F(OutputBoundTest, SyncRequestPastTheBoundOrAfterCloseEndsItsWaitWithoutAReply) {
  auto* sync = new CSyncChannelProxy(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
  proxy_.reset(sync);
  RefPtr<RecordingListener> waiter(new RecordingListener(host_.Loop(Thread::kThreadUI)));
  sync->AddListener(waiter.get(), 0);
  host_.RunOn(kThreadIPC,
              [&] { sync->context()->channel()->set_max_queued_bytes_for_testing(kBound); });
  // Made on the UI thread with a long time-out: only a refusal ends them early.
  auto request = [&](size_t filler) {
    auto* message = new TrackedMessage(true, 1, filler, &destroyed_);
    return host_.RunOn(Thread::kThreadUI, [&] {
      CMessage* reply = nullptr;
      const bool ok = sync->SendSyncWithTimeout(message, &reply, waiter.get(), 30000);
      EXPECT_EQ(reply, nullptr);
      return ok;
    });
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(request(kBound));  // larger than the bound on its own
  ASSERT_TRUE(waiter->WaitForErrors(1));
  EXPECT_FALSE(request(16));  // refused before it is queued
  sync->Close();
  EXPECT_FALSE(request(0));  // travels behind the closing task, which drops it
  EXPECT_LT(std::chrono::steady_clock::now() - start, ipc_test::kWaitLimit);
  EXPECT_EQ(destroyed_.load(), 3);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(waiter->errors(), 1);
  EXPECT_EQ(sync->sync_context()->pending_send_count(), 0u);
}

}  // namespace
}  // namespace IPC
