// The bound on a channel's output queue, against a real peer end that is connected but does not
// read: the queue stops at the bound, the refused message is destroyed, the listener hears of
// the failure once, and what was queued before reaches the peer whole and in order once it
// reads. Then the same through the channel proxy (several sending threads, two listeners) and
// the synchronous proxy (a waiting request is not left waiting).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/waitable_event.h"
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
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;

// Far above what the socket itself takes in before a write stays pending (about 200 KiB), so
// the queue reaches the bound only because the peer does not read.
constexpr size_t kBound = 2 << 20;

// A message that counts its own destruction: whether it was freed or is still held.
class TrackedMessage : public CMessage {
 public:
  // The payload is `value`, then `filler` bytes.
  TrackedMessage(bool sync, uint32_t routing, int32_t value, size_t filler,
                 std::atomic<int>* destroyed)
      : CMessage(sync, 0x07000300), destroyed_(destroyed) {
    set_routing_id(routing);
    WriteInt(value);
    const std::string bytes(filler, static_cast<char>('a' + value % 26));
    WriteBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  ~TrackedMessage() override { destroyed_->fetch_add(1); }

 private:
  std::atomic<int>* destroyed_;
};

int32_t FirstInt(const CMessage& m) {
  const char* it = nullptr;
  int32_t v = -1;
  m.ReadInt(&it, &v);
  return v;
}

class OutputBoundTest : public ipc_test::IpcHostTest {
 protected:
  void TearDown() override {
    host_.RunOn(kThreadIPC, [&] { channel_ = nullptr; });  // destroyed where it lives
    proxy_.reset();
    sync_proxy_.reset();
    CheckNothingLeft();
  }

  // Everything the peer end can read, until the channel has no bytes left to write. `queued`
  // runs on the test thread and answers the channel's queued bytes.
  std::string DrainPeer(int fd, const std::function<size_t()>& queued) {
    std::string got;
    char buffer[64 * 1024];
    const auto deadline = std::chrono::steady_clock::now() + ipc_test::kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n > 0) {
        got.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
      if (queued() == 0) {
        // The last write has completed: all of its bytes are in the socket.
        while ((n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
          got.append(buffer, static_cast<size_t>(n));
        }
        return got;
      }
      pollfd readable{fd, POLLIN, 0};
      poll(&readable, 1, 50);
    }
    ADD_FAILURE() << "the channel did not finish writing";
    return got;
  }

  size_t ChannelQueuedBytes(CChannel* channel) {
    return host_.RunOn(kThreadIPC, [&] { return channel->queued_bytes(); });
  }

  RefPtr<CChannel> channel_;
  std::unique_ptr<CChannelProxy> proxy_;
  std::unique_ptr<CSyncChannelProxy> sync_proxy_;
  base::CWaitableEvent shutdown_{false};
};

TEST_F(OutputBoundTest, PeerThatStopsReadingStopsTheQueueAtTheBoundAndTheErrorIsReportedOnce) {
  testing_support::LogCapture log;
  RefPtr<RecordingListener> listener(new RecordingListener(nullptr));  // called on the IPC thread
  host_.RunOn(kThreadIPC, [&] {
    channel_ = RefPtr<CChannel>(new CChannel(listener.get(), id_, 0));
    ASSERT_TRUE(channel_->CreatePipe());
    channel_->set_max_queued_bytes_for_testing(kBound);
    ASSERT_TRUE(channel_->Connect());
  });
  const int fd = ipc_test::RawConnect(id_);  // closed by the test itself, below
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(ipc_test::PollUntil(
      [&] { return host_.RunOn(kThreadIPC, [&] { return channel_->is_connected(); }); }));

  // Sizes that do not divide the bound, one larger than a write block among them.
  const size_t sizes[] = {40000, 1, 100000, 7000, CChannel::kWriteBlockSize + 5, 300000};
  std::deque<std::atomic<int>> destroyed;  // one counter per message sent
  std::string expected = ipc_test::WireBytes(CMsgHello(getpid()));
  int accepted = 0;
  bool refused = false;
  for (int i = 0; i < 1000 && !refused; ++i) {
    auto* message =
        new TrackedMessage(false, 1, i, sizes[i % std::size(sizes)], &destroyed.emplace_back(0));
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
      ++accepted;
      continue;
    }
    refused = true;
    EXPECT_GT(before + wire.size(), kBound);  // refused because of the bound, not before it
    EXPECT_EQ(after, before);
    EXPECT_EQ(destroyed[i].load(), 1);  // freed by Send itself
  }
  ASSERT_TRUE(refused);
  EXPECT_GT(accepted, 10);
  EXPECT_EQ(listener->errors(), 1);  // reported from inside the refused Send
  EXPECT_TRUE(log.Contains(u"Output queue full"));

  // Later sends, even small ones, keep failing and the queue stays as it is.
  const size_t held = ChannelQueuedBytes(channel_.get());
  for (int i = 0; i < 50; ++i) {
    auto* message = new TrackedMessage(false, 1, -1, 0, &destroyed.emplace_back(0));
    EXPECT_FALSE(host_.RunOn(kThreadIPC, [&] { return channel_->Send(message); }));
    EXPECT_EQ(destroyed.back().load(), 1);
  }
  EXPECT_EQ(ChannelQueuedBytes(channel_.get()), held);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener->errors(), 1);

  // The peer reads at last: everything queued before the refusal arrives, byte-exact and in
  // order, and nothing refused was written.
  const std::string got = DrainPeer(fd, [&] { return ChannelQueuedBytes(channel_.get()); });
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  for (int i = 0; i < accepted; ++i) EXPECT_EQ(destroyed[i].load(), 1) << "message " << i;
  EXPECT_EQ(host_.RunOn(kThreadIPC, [&] { return channel_->queued_message_count(); }), 0u);
  auto* late = new TrackedMessage(false, 1, -2, 0, &destroyed.emplace_back(0));
  EXPECT_FALSE(host_.RunOn(kThreadIPC, [&] { return channel_->Send(late); }));  // for good

  // The peer going away fails the read as well; that is not reported a second time.
  close(fd);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return log.Contains(u"Close Pipe\n"); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener->errors(), 1);
  EXPECT_TRUE(listener->messages().empty());
}

TEST_F(OutputBoundTest, ProxyRefusalReachesEachListenerOnceAndThePeerSeesNoGap) {
  constexpr int kSenders = 2;
  constexpr size_t kFiller = 16 * 1024;
  proxy_ = std::make_unique<CChannelProxy>(id_, 0, host_.Loop(kThreadIPC));
  RefPtr<RecordingListener> first(new RecordingListener(host_.Loop(kThreadUI)));
  RefPtr<RecordingListener> second(new RecordingListener(host_.Loop(kThreadExtensionManager)));
  proxy_->AddListener(first.get(), 0);
  proxy_->AddListener(second.get(), 0);
  CChannel* channel = host_.RunOn(kThreadIPC, [&] { return proxy_->context()->channel(); });
  ASSERT_NE(channel, nullptr);
  host_.RunOn(kThreadIPC, [&] { channel->set_max_queued_bytes_for_testing(kBound); });
  const int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(ipc_test::PollUntil(
      [&] { return host_.RunOn(kThreadIPC, [&] { return channel->is_connected(); }); }));

  // Each sender sends its sequence (routing id = sender) until the proxy refuses.
  std::atomic<int> destroyed{0};
  std::vector<int> refused_at(kSenders + 1, -1);
  std::vector<std::thread> threads;
  for (int s = 1; s <= kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < 5000; ++i) {
        if (!proxy_->Send(new TrackedMessage(false, s, i, kFiller, &destroyed))) {
          refused_at[s] = i;
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  int created = 0;
  for (int s = 1; s <= kSenders; ++s) {
    ASSERT_GE(refused_at[s], 0) << "sender " << s;
    created += refused_at[s] + 1;
  }
  ASSERT_TRUE(first->WaitForErrors(1));
  ASSERT_TRUE(second->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());

  // What is still alive is exactly what the channel holds, within the bound.
  const auto [held_count, held_bytes] = host_.RunOn(kThreadIPC, [&] {
    return std::make_pair(channel->queued_message_count(), channel->queued_bytes());
  });
  EXPECT_LE(held_bytes, kBound);
  EXPECT_EQ(static_cast<size_t>(created - destroyed.load()), held_count);

  // Sends after the failure are destroyed at once; no listener hears a second error.
  for (int i = 0; i < 100; ++i) {
    const int before = destroyed.load();
    EXPECT_FALSE(proxy_->Send(new TrackedMessage(false, 1, -1, kFiller, &destroyed)));
    EXPECT_EQ(destroyed.load(), before + 1);
  }
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(first->errors(), 1);
  EXPECT_EQ(second->errors(), 1);

  // The peer reads: after the hello, each sender's messages are a prefix of its sequence.
  const std::string got = DrainPeer(fd, [&] { return ChannelQueuedBytes(channel); });
  const char* p = got.data();
  const char* end = p + got.size();
  FoundMessage hello = FindNextMessage(p, end);
  ASSERT_NE(hello.message, nullptr);
  EXPECT_EQ(hello.message->type(), kMessageTypeHello);
  delete hello.message;
  p = hello.next;
  std::vector<int> next(kSenders + 1, 0);
  size_t count = 0;
  while (p != end) {
    FoundMessage found = FindNextMessage(p, end);
    ASSERT_NE(found.message, nullptr) << "a partial message at the end";
    std::unique_ptr<CMessage> m(found.message);
    p = found.next;
    ASSERT_TRUE(m->routing_id() >= 1 && m->routing_id() <= kSenders);
    ASSERT_EQ(m->payload_size(), 4 + kFiller);
    ASSERT_EQ(FirstInt(*m), next[m->routing_id()]) << "sender " << m->routing_id();
    ++next[m->routing_id()];
    ++count;
  }
  EXPECT_GT(count, 10u);
  for (int s = 1; s <= kSenders; ++s) EXPECT_LE(next[s], refused_at[s]);
  EXPECT_EQ(destroyed.load(), created + 100);  // the written ones are freed too: nothing held
}

TEST_F(OutputBoundTest, RequestPastTheBoundEndsItsWaitAndLaterRequestsFailAtOnce) {
  sync_proxy_ = std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
  RefPtr<RecordingListener> waiter(new RecordingListener(host_.Loop(kThreadUI)));
  sync_proxy_->AddListener(waiter.get(), 0);
  host_.RunOn(kThreadIPC,
              [&] { sync_proxy_->context()->channel()->set_max_queued_bytes_for_testing(kBound); });
  ASSERT_GE(Track(ipc_test::RawConnect(id_)), 0);  // connected, never read

  std::atomic<int> destroyed{0};
  // Requests made on the UI thread with a long time-out: only a refusal ends them early.
  auto request = [&](size_t filler) {
    auto* message = new TrackedMessage(true, 0, 1, filler, &destroyed);
    return host_.RunOn(kThreadUI, [&] {
      CMessage* reply = nullptr;
      const auto start = std::chrono::steady_clock::now();
      const bool ok = sync_proxy_->SendSyncWithTimeout(message, &reply, waiter.get(), 30000);
      EXPECT_EQ(reply, nullptr);
      delete reply;
      EXPECT_LT(std::chrono::steady_clock::now() - start, ipc_test::kWaitLimit);
      return ok;
    });
  };
  EXPECT_FALSE(request(kBound));  // larger than the bound on its own
  EXPECT_EQ(destroyed.load(), 1);
  ASSERT_TRUE(waiter->WaitForErrors(1));
  EXPECT_FALSE(request(16));  // refused before it is queued
  EXPECT_EQ(destroyed.load(), 2);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(waiter->errors(), 1);
  EXPECT_EQ(sync_proxy_->sync_context()->pending_send_count(), 0u);
}

TEST_F(OutputBoundTest, RequestSentAfterCloseEndsItsWaitWithoutAReply) {
  sync_proxy_ = std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
  RefPtr<RecordingListener> waiter(new RecordingListener(host_.Loop(kThreadUI)));
  sync_proxy_->AddListener(waiter.get(), 0);
  sync_proxy_->Close();
  ASSERT_TRUE(host_.WaitIdle());  // closed: only the refused request itself can end the wait
  std::atomic<int> destroyed{0};
  auto* message = new TrackedMessage(true, 0, 1, 0, &destroyed);
  const bool ok = host_.RunOn(kThreadUI, [&] {
    CMessage* reply = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const bool sent = sync_proxy_->SendSyncWithTimeout(message, &reply, waiter.get(), 30000);
    EXPECT_EQ(reply, nullptr);
    delete reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, ipc_test::kWaitLimit);
    return sent;
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(destroyed.load(), 1);
}

}  // namespace
}  // namespace IPC
