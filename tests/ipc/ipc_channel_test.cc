// IPC::CChannel on the IPC thread of the test host against raw socket peers, and its receive
// path fed directly.
#include "ipc/ipc_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_test_util.h"
#include "support/log_capture.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RawConnect;
using ipc_test::RawReadExactly;
using ipc_test::RawWriteAll;
using ipc_test::RecordingListener;
using ipc_test::WireBytes;
using Thread::kThreadIPC;

std::string Hello(int32_t pid) { return WireBytes(CMsgHello(pid)); }

// Larger than the socket buffers: its write stays pending while the peer reads nothing.
CMessage* BigMessage() {
  auto* big = new CMessage(false, 9);
  const std::string filler(8 << 20, 'q');
  big->WriteBytes(filler.data(), static_cast<uint32_t>(filler.size()));
  return big;
}

class ChannelTest : public ipc_test::IpcHostTest {
 protected:
  void TearDown() override {
    host_.RunOn(kThreadIPC, [&] { channel_ = nullptr; });  // destroyed where it lives
    CheckNothingLeft();
  }
  // Creates the server end on the IPC thread; `connect` runs Connect as well.
  void MakeChannel(bool connect = true) {
    host_.RunOn(kThreadIPC, [&] {
      channel_ = RefPtr<CChannel>(new CChannel(listener_.get(), id_, 0));
      ASSERT_TRUE(channel_->CreatePipe());
      if (connect) {
        ASSERT_TRUE(channel_->Connect());
      }
    });
  }
  // A connected server end and its raw client, past the hello.
  int Connected() {
    MakeChannel();
    int fd = Track(RawConnect(id_));
    EXPECT_EQ(RawReadExactly(fd, 32), Hello(getpid()));
    return fd;
  }

  size_t QueuedBytes() {
    return host_.RunOn(kThreadIPC, [&] { return channel_->queued_bytes(); });
  }

  std::atomic<int> destroyed_{0};  // outlives the channel
  RefPtr<RecordingListener> listener_{new RecordingListener(nullptr)};
  RefPtr<CChannel> channel_;
};

// The client connects after Connect (the connect completes later) or before it (error 535,
// ERROR_PIPE_CONNECTED: connected at once); either way the hello goes first, then the queue.
class ServerHelloTest : public ChannelTest, public testing::WithParamInterface<bool> {};

TEST_P(ServerHelloTest, ServerWritesHelloThenMessagesQueuedBeforeTheClientInOrder) {
  const bool client_first = GetParam();
  MakeChannel(/*connect=*/false);
  auto* first = new CMessage(false, 0x07000001);
  auto* second = new CMessage(true, 0x07000002);
  second->set_routing_id(5);
  const std::string expected = Hello(getpid()) + WireBytes(*first) + WireBytes(*second);
  int fd = client_first ? Track(RawConnect(id_)) : -1;
  host_.RunOn(kThreadIPC, [&] {
    channel_->Send(first);
    channel_->Send(second);
    ASSERT_TRUE(channel_->Connect());
    EXPECT_EQ(channel_->is_connected(), client_first);
    EXPECT_EQ(channel_->queued_message_count(), 3u);
  });
  if (!client_first) fd = Track(RawConnect(id_));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(RawReadExactly(fd, expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(ClientFirst, ServerHelloTest, testing::Bool());

TEST_F(ChannelTest, PeerHelloReportsItsProcessIdAndAShortOneReportsZero) {
  MakeChannel();
  int fd = Track(RawConnect(id_));
  CMessage short_hello(false, kMessageTypeHello);
  short_hello.WriteBytes("\x01\x02", 2);
  ASSERT_TRUE(RawWriteAll(fd, Hello(4321) + WireBytes(short_hello)));
  ASSERT_TRUE(listener_->WaitForConnected(2));
  EXPECT_EQ(listener_->connected(), (std::vector<int32_t>{4321, 0}));
  EXPECT_TRUE(listener_->messages().empty());  // hellos are not messages
}

TEST_F(ChannelTest, MessagesQueuedBehindAPendingWriteAllArriveInOrderByteExact) {
  constexpr size_t kBlock = CChannel::kWriteBlockSize;
  // Each batch is queued in one turn of the IPC thread, behind a write that stays pending.
  const std::vector<std::vector<size_t>> batches = {
      {100, kBlock + 1000, 100, 100},            // one larger than a write block in the middle
      {kBlock - 60, 4, kBlock / 2, kBlock / 2},  // filling a block exactly, then spilling
      std::vector<size_t>(700, 200),             // several blocks' worth of small ones
  };
  int fd = Connected();
  for (const auto& sizes : batches) {
    SCOPED_TRACE(sizes.size());
    std::vector<CMessage*> queued = {BigMessage()};
    for (size_t i = 0; i < sizes.size(); ++i) {
      auto* m = new CMessage(i % 4 == 3, static_cast<uint32_t>(0x07000100 + i));
      const std::string payload(sizes[i], static_cast<char>('a' + i % 26));
      m->WriteBytes(payload.data(), static_cast<uint32_t>(payload.size()));
      queued.push_back(m);
    }
    std::string expected;
    for (CMessage* m : queued) expected += WireBytes(*m);
    host_.RunOn(kThreadIPC, [&] {
      for (CMessage* m : queued) channel_->Send(m);  // the first stays pending
      EXPECT_EQ(channel_->queued_message_count(), queued.size());
    });
    EXPECT_TRUE(RawReadExactly(fd, expected.size()) == expected);  // no megabytes printed
    ASSERT_TRUE(ipc_test::PollUntil([&] {
      return host_.RunOn(kThreadIPC, [&] { return channel_->queued_message_count(); }) == 0;
    }));
    char extra;
    EXPECT_EQ(recv(fd, &extra, 1, MSG_DONTWAIT), -1);  // nothing written twice
  }
  EXPECT_EQ(listener_->errors(), 0);
}

// ---- failures ----

TEST_F(ChannelTest, OutputBoundRefusesTheMessagePastItOnceAndWritesWhatWasAccepted) {
  constexpr size_t kBound = 2 << 20;  // far above what the socket takes in (about 200 KiB)
  testing_support::LogCapture log;
  MakeChannel();
  const int fd = RawConnect(id_);  // closed below
  ASSERT_EQ(RawReadExactly(fd, 32), Hello(getpid()));
  ASSERT_TRUE(ipc_test::PollUntil([&] { return QueuedBytes() == 0; }));
  auto* exact = new ipc_test::CountedMessage(false, 0, 1000, &destroyed_);
  std::string expected = WireBytes(*exact);
  host_.RunOn(kThreadIPC, [&] {
    channel_->set_max_queued_bytes_for_testing(exact->size());
    EXPECT_TRUE(channel_->Send(exact));  // fits exactly
    channel_->set_max_queued_bytes_for_testing(kBound);
  });
  int created = 1;
  for (bool accepted = true; accepted; ++created) {  // the peer does not read
    ASSERT_LT(created, 1000);
    auto* message = new ipc_test::CountedMessage(false, created, 100000, &destroyed_);
    const std::string wire = WireBytes(*message);
    size_t before = 0, after = 0;
    int freed = 0;
    accepted = host_.RunOn(kThreadIPC, [&] {
      before = channel_->queued_bytes();
      freed = destroyed_.load();
      const bool ok = channel_->Send(message);
      after = channel_->queued_bytes();
      freed = destroyed_.load() - freed;
      return ok;
    });
    ASSERT_LE(after, kBound);
    if (accepted) {
      EXPECT_EQ(after, before + wire.size());
      expected += wire;
    } else {
      EXPECT_GT(before + wire.size(), kBound);  // refused because of the bound, not before it
      EXPECT_EQ(after, before);
      EXPECT_EQ(freed, 1);  // by Send itself
    }
  }
  EXPECT_EQ(listener_->errors(), 1);  // reported from inside the refused Send
  EXPECT_TRUE(log.Contains(u"Output queue full"));
  const size_t held = QueuedBytes();
  auto* late = new ipc_test::CountedMessage(false, -1, 0, &destroyed_);
  EXPECT_FALSE(host_.RunOn(kThreadIPC, [&] { return channel_->Send(late); }));  // for good
  EXPECT_EQ(QueuedBytes(), held);
  // The peer reads at last: everything accepted arrives byte-exact and in order, then nothing.
  EXPECT_TRUE(RawReadExactly(fd, expected.size()) == expected);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return QueuedBytes() == 0; }));
  char extra;
  EXPECT_EQ(recv(fd, &extra, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(destroyed_.load(), created + 1);
  close(fd);  // the read fails as well; that is not reported a second time
  ASSERT_TRUE(ipc_test::PollUntil([&] { return log.Contains(u"Close Pipe\n"); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 1);
}

TEST_F(ChannelTest, SendAfterCloseIsRefusedQuietly) {
  Connected();
  host_.RunOn(kThreadIPC, [&] {
    channel_->Close();  // with a read in flight
    EXPECT_FALSE(channel_->Send(new ipc_test::CountedMessage(false, 1, 0, &destroyed_)));
  });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(destroyed_.load(), 1);
  EXPECT_EQ(listener_->errors(), 0);
}

TEST_F(ChannelTest, FailedPendingWriteLogsTheAssertLineAndReportsOneError) {
  testing_support::LogCapture log;
  MakeChannel();
  int fd = RawConnect(id_);
  CMessage* big = BigMessage();
  host_.RunOn(kThreadIPC, [&] { channel_->Send(big); });
  ASSERT_EQ(RawReadExactly(fd, 32), Hello(getpid()));
  close(fd);
  ASSERT_TRUE(listener_->WaitForErrors(1));
  EXPECT_TRUE(
      log.Contains(u"error @ IPC::CChannel::ProcessOutgoingMessages:348 (lasterror=232, hr=0x0)"));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 1);  // the read fails as well
  int io_errors = 0;
  for (const auto& line : log.Lines()) io_errors += line.text.rfind(u"IO Error : 0x", 0) == 0;
  EXPECT_EQ(io_errors, 1);
  EXPECT_TRUE(log.Contains(u"Close Pipe\n"));
}

// ---- the receive path itself, fed as reads of chosen sizes ----

class ChannelReceiveTest : public ::testing::Test {
 protected:
  RefPtr<RecordingListener> listener_{new RecordingListener(nullptr)};
  RefPtr<CChannel> channel_{new CChannel(listener_.get(), u"unused", 1)};
};

TEST_F(ChannelReceiveTest, ReadBoundariesNeverChangeWhatIsDelivered) {
  std::string stream;
  std::vector<std::string> payloads;
  for (int i = 0; i < 30; ++i) {
    CMessage m(i % 3 == 0, static_cast<uint32_t>(100 + i));
    m.WriteString(std::u16string(static_cast<size_t>(i * 37 % 300), u'a' + i % 26));
    stream += WireBytes(m);
    payloads.push_back(ipc_test::PayloadOf(m));
  }
  const size_t chunk_sizes[] = {1, 3, 27, 28, 29, 40, 41, 512, 4096};
  for (size_t k = 0, offset = 0; offset < stream.size(); ++k) {
    size_t n = std::min(chunk_sizes[k % std::size(chunk_sizes)], stream.size() - offset);
    ASSERT_TRUE(channel_->ReceiveBytesForTesting(stream.data() + offset, n));
    offset += n;
  }
  auto got = listener_->messages();
  ASSERT_EQ(got.size(), 30u);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(got[i].type, static_cast<uint32_t>(100 + i));
    EXPECT_EQ(got[i].payload, payloads[i]);
  }
  EXPECT_EQ(channel_->carried_over_bytes(), 0u);
}

TEST_F(ChannelReceiveTest, CarryOverBoundIsCheckedBeforeAppending) {
  channel_->set_max_carried_over_for_testing(8192);
  CMessage huge(false, 1);
  std::string wire = WireBytes(huge);
  wire[3] = '\x01';  // 16 MiB payload declared
  ASSERT_TRUE(channel_->ReceiveBytesForTesting(wire.data(), wire.size()));
  std::string chunk(4096, 'x');
  ASSERT_TRUE(channel_->ReceiveBytesForTesting(chunk.data(), chunk.size()));   // 4124 kept
  EXPECT_FALSE(channel_->ReceiveBytesForTesting(chunk.data(), chunk.size()));  // 8220 > 8192
  EXPECT_EQ(channel_->carried_over_bytes(), 0u);
  EXPECT_TRUE(listener_->messages().empty());
}

}  // namespace
}  // namespace IPC
