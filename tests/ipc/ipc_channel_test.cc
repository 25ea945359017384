// IPC::CChannel on the IPC thread of the test host, against raw socket peers that show the
// bytes on the wire, and through its receive path directly.
#include "ipc/ipc_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_test_util.h"
#include "platform/hcsafe.h"
#include "support/log_capture.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RecordingListener;
using Thread::kThreadIPC;

std::string Message(uint32_t type, const std::u16string& text, uint32_t routing = 0) {
  CMessage m(false, type);
  m.set_routing_id(routing);
  m.WriteString(text);
  return ipc_test::WireBytes(m);
}

std::string Hello(int32_t pid) { return ipc_test::WireBytes(CMsgHello(pid)); }

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

  // Creates the channel on the IPC thread; `connect` runs Connect as well.
  void MakeChannel(int mode, bool connect = true) {
    host_.RunOn(kThreadIPC, [&] {
      channel_ = RefPtr<CChannel>(new CChannel(listener_.get(), id_, mode));
      ASSERT_TRUE(channel_->CreatePipe());
      if (connect) {
        ASSERT_TRUE(channel_->Connect());
      }
    });
  }
  void Send(const std::string& wire) {
    host_.RunOn(kThreadIPC, [&] {
      FoundMessage f = FindNextMessage(wire.data(), wire.data() + wire.size());
      ASSERT_NE(f.message, nullptr);
      auto* owned = new CMessage(*f.message);
      delete f.message;
      channel_->Send(owned);
    });
  }
  size_t CarriedOver() {
    return host_.RunOn(kThreadIPC, [&] { return channel_->carried_over_bytes(); });
  }
  bool WaitCarriedOver(size_t bytes) {
    return ipc_test::PollUntil([&] { return CarriedOver() == bytes; });
  }

  RefPtr<RecordingListener> listener_{new RecordingListener(nullptr)};
  RefPtr<CChannel> channel_;
};

TEST_F(ChannelTest, ServerWritesHelloAfterTheClientConnectsThenQueuedMessagesInOrder) {
  MakeChannel(0, /*connect=*/false);
  Send(Message(0x07000001, u"first"));
  Send(Message(0x07000002, u"second", 5));
  host_.RunOn(kThreadIPC, [&] { ASSERT_TRUE(channel_->Connect()); });
  EXPECT_EQ(host_.RunOn(kThreadIPC, [&] { return channel_->queued_message_count(); }), 3u);

  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  const std::string expected =
      Hello(getpid()) + Message(0x07000001, u"first") + Message(0x07000002, u"second", 5);
  EXPECT_EQ(ipc_test::RawReadExactly(fd, expected.size()), expected);
}

TEST_F(ChannelTest, ClientWritesHelloRightAfterConnect) {
  int listen_fd = Track(ipc_test::RawListen(id_));
  ASSERT_GE(listen_fd, 0);
  MakeChannel(1);
  int fd = Track(ipc_test::RawAccept(listen_fd));
  EXPECT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
}

TEST_F(ChannelTest, ClientThatConnectedBeforeConnectIsTakenWithoutWaiting) {
  MakeChannel(0, /*connect=*/false);
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  host_.RunOn(kThreadIPC, [&] {
    ASSERT_TRUE(channel_->Connect());
    EXPECT_TRUE(channel_->is_connected());  // the 535 path: no pending connect
  });
  EXPECT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
}

TEST_F(ChannelTest, PipeCallsThroughThePlatformLibraryCarryTheSameBytes) {
  halcy::SetHcsafeEnabledForTesting(true);
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
  Send(Message(0x07000005, u"through the library"));
  const std::string expected = Message(0x07000005, u"through the library");
  EXPECT_EQ(ipc_test::RawReadExactly(fd, expected.size()), expected);
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, Message(0x07000006, u"back", 2)));
  ASSERT_TRUE(listener_->WaitForMessages(1));
  EXPECT_EQ(listener_->messages()[0].type, 0x07000006u);
  host_.RunOn(kThreadIPC, [&] { channel_ = nullptr; });  // closes through the library too
  halcy::SetHcsafeEnabledForTesting(false);
}

TEST_F(ChannelTest, PeerHelloReportsItsProcessIdAndAShortOneReportsZero) {
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  CMessage short_hello(false, kMessageTypeHello);
  short_hello.WriteBytes("\x01\x02", 2);
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, Hello(4321) + ipc_test::WireBytes(short_hello)));
  ASSERT_TRUE(listener_->WaitForConnected(2));
  EXPECT_EQ(listener_->connected(), (std::vector<int32_t>{4321, 0}));
  EXPECT_TRUE(listener_->messages().empty());  // hellos are not messages
}

TEST_F(ChannelTest, OneAndAHalfMessagesDeliverTheFirstAndCarryTheRest) {
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  const std::string first = Message(10, u"one");
  const std::string second = Message(11, u"two and more");
  const size_t half = second.size() / 2;
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, first + second.substr(0, half)));
  ASSERT_TRUE(listener_->WaitForMessages(1));
  EXPECT_TRUE(WaitCarriedOver(half));
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, second.substr(half)));
  ASSERT_TRUE(listener_->WaitForMessages(2));
  auto got = listener_->messages();
  EXPECT_EQ(got[0].type, 10u);
  EXPECT_EQ(got[1].type, 11u);
  EXPECT_EQ(got[1].payload, second.substr(28));
  EXPECT_TRUE(WaitCarriedOver(0));  // the read ended on a boundary
}

TEST_F(ChannelTest, MessageSplitOverThreeReadsIsDeliveredOnceAfterTheThird) {
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  const std::string wire = Message(0x07000011, std::u16string(40, u'z'), 3);
  const size_t cut1 = 10, cut2 = 50;  // inside the header, then inside the payload
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, wire.substr(0, cut1)));
  ASSERT_TRUE(WaitCarriedOver(cut1));
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, wire.substr(cut1, cut2 - cut1)));
  ASSERT_TRUE(WaitCarriedOver(cut2));
  EXPECT_TRUE(listener_->messages().empty());
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, wire.substr(cut2)));
  ASSERT_TRUE(listener_->WaitForMessages(1));
  EXPECT_TRUE(WaitCarriedOver(0));
  auto got = listener_->messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].routing_id, 3u);
  EXPECT_EQ(got[0].payload, wire.substr(28));
  EXPECT_EQ(got[0].thread_id, host_.ThreadId(kThreadIPC));
}

TEST_F(ChannelTest, PeerClosingThePipeReportsOneErrorAndTheIoErrorLine) {
  testing_support::LogCapture log;
  MakeChannel(0);
  int fd = ipc_test::RawConnect(id_);
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, Hello(77)));
  ASSERT_TRUE(listener_->WaitForConnected(1));
  close(fd);
  ASSERT_TRUE(listener_->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 1);
  // A read in flight completes with 0 bytes and 109 (0x6d); one started after the close fails
  // at once instead and reports the bytes of the last read.
  int io_errors = 0;
  for (const auto& line : log.Lines()) io_errors += line.text.rfind(u"IO Error : 0x", 0) == 0;
  EXPECT_EQ(io_errors, 1);
  EXPECT_TRUE(log.Contains(u"Close Pipe\n"));
}

TEST_F(ChannelTest, FailedPendingWriteLogsTheAssertLineAndReportsAnError) {
  testing_support::LogCapture log;
  MakeChannel(0);
  int fd = ipc_test::RawConnect(id_);
  CMessage* big = BigMessage();
  host_.RunOn(kThreadIPC, [&] { channel_->Send(big); });
  ASSERT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
  close(fd);
  ASSERT_TRUE(listener_->WaitForErrors(1));
  EXPECT_TRUE(
      log.Contains(u"error @ IPC::CChannel::ProcessOutgoingMessages:348 (lasterror=232, hr=0x0)"));
}

TEST_F(ChannelTest, CarriedOverDataPastTheBoundFailsTheChannel) {
  MakeChannel(0);
  host_.RunOn(kThreadIPC, [&] { channel_->set_max_carried_over_for_testing(64 << 10); });
  int fd = Track(ipc_test::RawConnect(id_));
  CMessage header(false, 1);
  std::string wire = ipc_test::WireBytes(header);
  wire[0] = '\x00';
  wire[1] = '\x00';
  wire[2] = '\x10';  // declares a 1 MiB payload
  ASSERT_TRUE(ipc_test::RawWriteAll(fd, wire + std::string(200 << 10, 'p')));
  ASSERT_TRUE(listener_->WaitForErrors(1));
  EXPECT_EQ(CarriedOver(), 0u);  // dropped, not kept
  EXPECT_TRUE(listener_->messages().empty());
}

TEST_F(ChannelTest, CloseWithOperationsInFlightTakesTheirCompletionsAndReportsNothing) {
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
  host_.RunOn(kThreadIPC, [&] {
    channel_->Send(BigMessage());  // stays pending
    channel_->Close();             // read and write in flight
    EXPECT_EQ(channel_->queued_message_count(), 0u);
  });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 0);
}

// Messages of these payload sizes, each filled with its own index, as owned messages and as
// their wire bytes.
std::vector<CMessage*> PatternMessages(const std::vector<size_t>& sizes, std::string* wire) {
  std::vector<CMessage*> out;
  for (size_t i = 0; i < sizes.size(); ++i) {
    auto* m = new CMessage(i % 4 == 3, static_cast<uint32_t>(0x07000100 + i));
    const std::string payload(sizes[i], static_cast<char>('a' + i % 26));
    m->WriteBytes(payload.data(), static_cast<uint32_t>(payload.size()));
    *wire += ipc_test::WireBytes(*m);
    out.push_back(m);
  }
  return out;
}

TEST_F(ChannelTest, MessagesQueuedBehindAPendingWriteAllArriveInOrderByteExact) {
  constexpr size_t kBlock = CChannel::kWriteBlockSize;
  // Each batch is queued in one turn of the IPC thread, behind a write that stays pending.
  const std::vector<std::vector<size_t>> batches = {
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
      {100, kBlock + 1000, 100, 100},            // one larger than a write block in the middle
      {kBlock - 60, 4, kBlock / 2, kBlock / 2},  // filling a block exactly, then spilling
      std::vector<size_t>(700, 200),             // several blocks' worth of small ones
  };
  MakeChannel(0);
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ipc_test::RawReadExactly(fd, 32), Hello(getpid()));
  for (const auto& sizes : batches) {
    SCOPED_TRACE(sizes.size());
    std::unique_ptr<CMessage> big(BigMessage());
    std::string expected = ipc_test::WireBytes(*big);
    std::vector<CMessage*> queued = PatternMessages(sizes, &expected);
    host_.RunOn(kThreadIPC, [&] {
      channel_->Send(big.release());  // stays pending until the peer reads
      for (CMessage* m : queued) channel_->Send(m);
      EXPECT_EQ(channel_->queued_message_count(), sizes.size() + 1);
    });
    // Compared in halves so that a failure does not print megabytes.
    const std::string got = ipc_test::RawReadExactly(fd, expected.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got.compare(0, 8 << 20, expected, 0, 8 << 20) == 0);
    EXPECT_EQ(got.substr(8 << 20), expected.substr(8 << 20));
    ASSERT_TRUE(ipc_test::PollUntil([&] {
      return host_.RunOn(kThreadIPC, [&] { return channel_->queued_message_count(); }) == 0;
    }));
    char extra;
    EXPECT_EQ(recv(fd, &extra, 1, MSG_DONTWAIT), -1);  // nothing written twice
  }
  EXPECT_EQ(listener_->errors(), 0);
}

// The receive path itself, fed as reads of chosen sizes.
class ChannelReceiveTest : public ::testing::Test {
 protected:
  RefPtr<RecordingListener> listener_{new RecordingListener(nullptr)};
  RefPtr<CChannel> channel_{new CChannel(listener_.get(), u"unused", 1)};
};

TEST_F(ChannelReceiveTest, ReadBoundariesNeverChangeWhatIsDelivered) {
  std::string stream;
  for (int i = 0; i < 30; ++i) {
    CMessage m(i % 3 == 0, static_cast<uint32_t>(100 + i));
    m.WriteString(std::u16string(static_cast<size_t>(i * 37 % 300), u'a'));
    stream += ipc_test::WireBytes(m);
  }
  const size_t chunk_sizes[] = {1, 3, 27, 28, 29, 40, 41, 512, 4096};
  size_t offset = 0;
  for (size_t k = 0; offset < stream.size(); ++k) {
    size_t n = std::min(chunk_sizes[k % std::size(chunk_sizes)], stream.size() - offset);
    ASSERT_TRUE(channel_->ReceiveBytesForTesting(stream.data() + offset, n));
    offset += n;
  }
  auto got = listener_->messages();
  ASSERT_EQ(got.size(), 30u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(got[i].type, static_cast<uint32_t>(100 + i));
  EXPECT_EQ(channel_->carried_over_bytes(), 0u);
}

TEST_F(ChannelReceiveTest, CarryOverBoundIsCheckedBeforeAppending) {
  channel_->set_max_carried_over_for_testing(8192);
  CMessage huge(false, 1);
  std::string wire = ipc_test::WireBytes(huge);
  wire[3] = '\x01';  // 16 MiB payload declared
  ASSERT_TRUE(channel_->ReceiveBytesForTesting(wire.data(), wire.size()));
  std::string chunk(4096, 'x');
  ASSERT_TRUE(channel_->ReceiveBytesForTesting(chunk.data(), chunk.size()));   // 4124 kept
  EXPECT_FALSE(channel_->ReceiveBytesForTesting(chunk.data(), chunk.size()));  // 8220 > 8192
  EXPECT_EQ(channel_->carried_over_bytes(), 0u);
}

}  // namespace
}  // namespace IPC
