// IPC::CChannelProxy and IPC::CSyncChannelProxy in one process over a pipe: the server end is
// synchronous; the client end's listener (the peer) answers requests on its own thread.
#include "ipc/ipc_channel_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_sync_channel.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::PollUntil;
using ipc_test::RecordingListener;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;
using Types = std::vector<uint32_t>;

// Request types the peer answers in its own way; any other is never answered.
constexpr uint32_t kEcho = 0x07000101;        // reply carrying the request's int
constexpr uint32_t kReplyError = 0x07000102;  // reply error
constexpr uint32_t kNoReply = 0x07000103;
constexpr uint32_t kDwb = 0x07000104;  // dispatch-while-blocked message, the reply after kAck
constexpr uint32_t kDwbMessage = 0x07000110;
constexpr uint32_t kAck = 0x07000111;

CMessage* NewMessage(uint32_t type, int32_t value, bool sync = false, uint32_t routing = 0) {
  auto* m = new CMessage(sync, type);
  m->set_routing_id(routing);
  m->WriteInt(value);
  return m;
}

int32_t FirstInt(const CMessage& m) {
  const char* it = nullptr;
  int32_t v = -1;
  m.ReadInt(&it, &v);
  return v;
}

// The outcome of a synchronous send made on another thread.
struct Sent {
  bool ok;
  std::unique_ptr<CMessage> reply;
  std::chrono::milliseconds elapsed;
};

bool Done(std::future<Sent>& f, std::chrono::milliseconds limit = ipc_test::kWaitLimit) {
  return f.wait_for(limit) == std::future_status::ready;
}

// The int of a successful send's reply; -1 for a failed send.
int32_t ReplyInt(std::future<Sent>& f) {
  Sent s = f.get();
  return s.ok && s.reply ? FirstInt(*s.reply) : -1;
}

class ProxyTest : public ipc_test::IpcHostTest {
 protected:
  void SetUp() override {
    IpcHostTest::SetUp();
    server_ = std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
    server_->AddListener(waiter_.get(), 0);
    server_->AddListener(other_waiter_.get(), 0);
    server_->AddListener(no_loop_.get(), 0);
    peer_->set_on_message([this](const CMessage& m) { Answer(m); });
    // Made on the IPC thread with its listener in the same task: the registration is then in
    // place before the channel's first read.
    host_.RunOn(kThreadIPC, [&] {
      client_ = std::make_unique<CChannelProxy>(id_, 1, host_.Loop(kThreadIPC));
      client_->AddListener(peer_.get(), 0);
    });
    ASSERT_TRUE(PollUntil([&] { return !peer_->connected().empty(); }));
  }
  void TearDown() override {
    server_.reset();
    client_.reset();
    CheckNothingLeft();
  }
  RefPtr<RecordingListener> Listener(int kind) {
    return RefPtr<RecordingListener>(new RecordingListener(host_.Loop(kind)));
  }

  // The peer's behaviour, on the process-launcher thread.
  void Answer(const CMessage& m) {
    if (m.type() == kEcho) Reply(m.serial_number(), false, FirstInt(m));
    if (m.type() == kReplyError) Reply(m.serial_number(), true, 0);
    if (m.type() == kAck) Reply(dwb_serial_, false, 77);
    if (m.type() == kDwb) {
      dwb_serial_ = m.serial_number();
      auto* note = new CMessage(false, kDwbMessage);
      note->SetDispatchWhileBlocked();
      client_->Send(note);
    }
  }
  void Reply(int64_t serial, bool error, int32_t value) {
    auto* reply = new CMessage(true, 0x07000200);
    reply->MakeReplyTo(serial, error);
    reply->WriteInt(value);
    client_->Send(reply);
  }
  // Waits until `count` synchronous sends are waiting for their replies.
  bool Pending(size_t count) {
    return PollUntil([&] { return server_->sync_context()->pending_send_count() == count; });
  }

  // Starts a synchronous send on the thread of `kind` with `listener` as the caller.
  std::future<Sent> SendOn(int kind, CMessage* message, CChannel::CListener* listener,
                           DWORD timeout_ms) {
    auto promise = std::make_shared<std::promise<Sent>>();
    Thread::PostTask(kind, Thread::NewFuncTask([=, this] {
                       const auto start = std::chrono::steady_clock::now();
                       CMessage* reply = nullptr;
                       bool ok =
                           server_->SendSyncWithTimeout(message, &reply, listener, timeout_ms);
                       promise->set_value({ok, std::unique_ptr<CMessage>(reply),
                                           std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)});
                     }));
    return promise->get_future();
  }

  base::CWaitableEvent shutdown_{false};
  RefPtr<RecordingListener> waiter_ = Listener(kThreadUI);
  RefPtr<RecordingListener> other_waiter_ = Listener(kThreadExtensionManager);
  RefPtr<RecordingListener> no_loop_{new RecordingListener(nullptr)};
  RefPtr<RecordingListener> peer_ = Listener(Thread::kThreadProcessLauncher);
  std::unique_ptr<CSyncChannelProxy> server_;
  std::unique_ptr<CChannelProxy> client_;
  std::atomic<int64_t> dwb_serial_{0};
  std::atomic<int> destroyed_{0};  // outlives the proxies
};

TEST_F(ProxyTest, ConnectionIsReportedOnceAndErrorsToEveryListenerWithALoop) {
  ASSERT_TRUE(host_.WaitIdle());
  auto connected = waiter_->connected();
  auto other = other_waiter_->connected();
  connected.insert(connected.end(), other.begin(), other.end());
  EXPECT_EQ(connected, (std::vector<int32_t>{getpid()}));
  client_->Close();  // the server's read ends
  ASSERT_TRUE(waiter_->WaitForErrors(1));
  ASSERT_TRUE(other_waiter_->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(waiter_->errors(), 1);
  EXPECT_EQ(other_waiter_->errors(), 1);
  EXPECT_EQ(no_loop_->errors(), 0);  // a listener that names no loop hears nothing at all
  EXPECT_TRUE(no_loop_->connected().empty());
}

// A filter that takes every message of one type.
class TypeFilter : public CChannelProxy::CMessageFilter {
 public:
  bool OnMessageReceived(const CMessage& message) override {
    return message.type() == 0x42 && ++taken > 0;
  }
  void OnFilterAdded(CChannel*) override { ++added; }
  std::atomic<int> taken{0};
  std::atomic<int> added{0};
};

TEST_F(ProxyTest, FilterThenRoutingIdSelectTheListenersAndOnlyThemUntilRemoved) {
  RefPtr<TypeFilter> filter(new TypeFilter());
  server_->AddFilter(filter.get());
  auto routed = Listener(kThreadExtensionManager);
  for (int twice = 0; twice < 2; ++twice) {  // kept once
    server_->AddListener(waiter_.get(), 0);
    server_->AddListener(routed.get(), 5);
  }
  server_->AddListener(no_loop_.get(), 5);
  client_->Send(NewMessage(0x42, 0));  // taken by the filter
  client_->Send(NewMessage(0x07000001, 1));
  client_->Send(NewMessage(0x07000002, 2, false, 5));
  client_->Send(NewMessage(0x07000003, 3, false, 7));  // nobody listens on 7
  client_->Send(NewMessage(0x07000004, 4));
  ASSERT_TRUE(waiter_->WaitForMessages(2));
  ASSERT_TRUE(routed->WaitForMessages(1));
  server_->RemoveListener(routed.get(), 5);
  ASSERT_TRUE(host_.WaitIdle());
  client_->Send(NewMessage(0x07000005, 5, false, 5));
  ASSERT_TRUE(host_.WaitIdle());

  ASSERT_EQ(waiter_->types(), (Types{0x07000001, 0x07000004}));
  EXPECT_EQ(waiter_->messages()[1].thread_id, host_.ThreadId(kThreadUI));
  ASSERT_EQ(routed->types(), Types{0x07000002});
  EXPECT_EQ(routed->messages()[0].thread_id, host_.ThreadId(kThreadExtensionManager));
  EXPECT_TRUE(no_loop_->messages().empty());
  EXPECT_EQ(filter->taken.load(), 1);
  EXPECT_EQ(filter->added.load(), 1);
}

TEST_F(ProxyTest, BurstsFromSeveralThreadsArriveWholeAndInEachSendersOrder) {
  constexpr int kSenders = 3;
  constexpr int kPerSender = 1000;
  auto heard = Listener(kThreadUI);
  // The routing id tells the sender apart; the value is its sequence number.
  for (int s = 1; s <= kSenders; ++s) server_->AddListener(heard.get(), s);
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<std::thread> threads;
  for (int s = 1; s <= kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i) client_->Send(NewMessage(0x07000020, i, false, s));
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(heard->WaitForMessages(kSenders * kPerSender));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<int32_t> next(kSenders + 1, 0);
  for (const auto& m : heard->messages()) {
    ASSERT_TRUE(m.routing_id >= 1 && m.routing_id <= kSenders);
    ASSERT_EQ(m.payload.size(), 4u);
    int32_t value;
    std::memcpy(&value, m.payload.data(), sizeof(value));
    ASSERT_EQ(value, next[m.routing_id]) << "sender " << m.routing_id;
    ++next[m.routing_id];
  }
  for (int s = 1; s <= kSenders; ++s) EXPECT_EQ(next[s], kPerSender);
}

struct SendCase {
  const char* name;
  uint32_t type;
  bool sync;
  DWORD timeout_ms;
  bool ok;
  int32_t reply;  // the reply's int; -1: no reply
  int min_ms, max_ms;
};

TEST_F(ProxyTest, SyncSendEndsByReplyReplyErrorTimeOutOrAtOnceWhenAsynchronous) {
  const SendCase cases[] = {
      {"echo", kEcho, true, 5000, true, 42, 0, 4000},
      {"reply error: woken by it, not the time-out", kReplyError, true, 5000, false, -1, 0, 4000},
      {"unanswered", kNoReply, true, 1000, false, -1, 950, 5000},
      {"asynchronous: sent without waiting", kNoReply, false, 0, true, -1, 0, 4000},
  };
  for (const SendCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::LogCapture log;
    CMessage* request = NewMessage(c.type, 42, c.sync);
    const int64_t serial = request->serial_number();
    auto f = SendOn(kThreadUI, request, waiter_.get(), c.timeout_ms);
    ASSERT_TRUE(Done(f));
    Sent r = f.get();
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.reply ? FirstInt(*r.reply) : -1, c.reply);
    EXPECT_TRUE(!r.reply || (r.reply->is_reply() && !r.reply->is_borrowed()));
    EXPECT_GE(r.elapsed.count(), c.min_ms);
    EXPECT_LT(r.elapsed.count(), c.max_ms);
    EXPECT_EQ(server_->sync_context()->pending_send_count(), 0u);
    EXPECT_EQ(log.Contains(halcy::Utf8ToUtf16("Message (7000103) send timeout, serial number : " +
                                              std::to_string(serial) + ", Done event : ")),
              c.sync && c.min_ms > 0);
  }
  ASSERT_TRUE(peer_->WaitForMessages(4));  // every request reached the peer
  EXPECT_EQ(peer_->types(), (Types{kEcho, kReplyError, kNoReply, kNoReply}));
}

// The peer replies only after the waiting thread's listener has answered its note: the reply
// proves the note reached the UI thread while that thread was blocked in the send.
TEST_F(ProxyTest, DispatchWhileBlockedMessageReachesTheWaitingThreadBeforeTheWaitEnds) {
  waiter_->set_on_message([&](const CMessage& m) {
    if (m.type() == kDwbMessage) server_->Send(new CMessage(false, kAck));
  });
  auto f = SendOn(kThreadUI, NewMessage(kDwb, 1, true), waiter_.get(), 8000);
  ASSERT_TRUE(Done(f));
  EXPECT_EQ(ReplyInt(f), 77);
  ASSERT_EQ(waiter_->types(), Types{kDwbMessage});
  EXPECT_EQ(waiter_->messages()[0].thread_id, host_.ThreadId(kThreadUI));
}

// The UI thread's send has a pump event and waits in a nested loop.
TEST_F(ProxyTest, TwoWaitersAreEachWokenOnlyByTheirOwnReplyAndAPumpEventRunsANestedLoop) {
  testing_support::LogCapture log;
  base::CWaitableEvent pump(true);
  CMessage* request1 = NewMessage(kNoReply, 1, true);
  CMessage* request2 = NewMessage(kNoReply, 2, true);
  const int64_t serial1 = request1->serial_number(), serial2 = request2->serial_number();
  request1->set_pump_messages_event(&pump);
  auto first = SendOn(kThreadUI, request1, waiter_.get(), 0);
  auto second = SendOn(kThreadExtensionManager, request2, other_waiter_.get(), 0);
  ASSERT_TRUE(Pending(2));
  std::atomic<bool> ran{false};  // a task posted to the UI thread runs inside its send
  Thread::PostTask(kThreadUI, Thread::NewFuncTask([&] { ran = true; }));
  ASSERT_TRUE(PollUntil([&] { return ran.load(); }));
  Reply(serial2, false, 200);
  ASSERT_TRUE(Done(second));
  EXPECT_EQ(ReplyInt(second), 200);
  EXPECT_FALSE(Done(first, std::chrono::milliseconds(0)));
  EXPECT_EQ(server_->sync_context()->pending_send_count(), 1u);
  Reply(serial1, false, 100);
  ASSERT_TRUE(Done(first));
  EXPECT_EQ(ReplyInt(first), 100);
  EXPECT_TRUE(log.Contains(u"is waiting for reply with nested messageloop"));
}

// ---- refusals and failures ----

TEST_F(ProxyTest, OutputBoundRefusalReachesEachListenerOnceAndEndsRequestsWithoutAReply) {
  host_.RunOn(kThreadIPC,
              [&] { server_->context()->channel()->set_max_queued_bytes_for_testing(1 << 16); });
  auto request = [&](int32_t value, size_t filler) {  // time-outs a refusal must cut short
    return SendOn(kThreadUI, new ipc_test::CountedMessage(true, value, filler, &destroyed_),
                  waiter_.get(), 30000);
  };
  auto big = request(1, 1 << 16);  // larger than the bound on its own
  ASSERT_TRUE(Done(big));
  Sent refused = big.get();
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.reply, nullptr);
  ASSERT_TRUE(waiter_->WaitForErrors(1));
  ASSERT_TRUE(other_waiter_->WaitForErrors(1));
  EXPECT_FALSE(server_->Send(new ipc_test::CountedMessage(false, 2, 0, &destroyed_)));
  auto late = request(3, 0);  // refused before it is queued
  ASSERT_TRUE(Done(late));
  EXPECT_FALSE(late.get().ok);
  server_->Close();
  auto closed = request(4, 0);  // travels behind the closing task, which drops it
  ASSERT_TRUE(Done(closed));
  EXPECT_FALSE(closed.get().ok);
  EXPECT_TRUE(server_->Send(new ipc_test::CountedMessage(false, 5, 0, &destroyed_)));  // posted
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(destroyed_.load(), 5);
  EXPECT_EQ(waiter_->errors(), 1);
  EXPECT_EQ(other_waiter_->errors(), 1);
  EXPECT_EQ(server_->sync_context()->pending_send_count(), 0u);
}

TEST_F(ProxyTest, ClientWithoutAServerReportsAnErrorOnSend) {
  testing_support::LogCapture log;
  CChannelProxy lonely(ipc_test::UniqueChannelId(), 1, host_.Loop(kThreadIPC));
  EXPECT_TRUE(log.Contains(u"Create Channel failed\n"));
  auto listener = Listener(kThreadUI);
  lonely.AddListener(listener.get(), 0);
  lonely.Send(NewMessage(1, 1));
  ASSERT_TRUE(listener->WaitForErrors(1));
}

// Whatever ends the wait early, the blocked sender wakes with false: the shutdown event (with
// its log line, and later requests fail at once), a failed channel, or the removal of a
// routing-zero listener.
enum class WaitEnder { kShutdown, kChannelFailure, kListenerRemoved };

class SyncWaitEndTest : public ProxyTest, public testing::WithParamInterface<WaitEnder> {};

TEST_P(SyncWaitEndTest, WakesTheSenderWithFalse) {
  testing_support::LogCapture log;
  auto f = SendOn(kThreadUI, NewMessage(kNoReply, 1, true), waiter_.get(), 0);
  ASSERT_TRUE(Pending(1));
  if (GetParam() == WaitEnder::kShutdown) shutdown_.Signal();
  if (GetParam() == WaitEnder::kChannelFailure) client_->Close();
  if (GetParam() == WaitEnder::kListenerRemoved) server_->RemoveListener(other_waiter_.get(), 0);
  ASSERT_TRUE(Done(f));
  EXPECT_FALSE(f.get().ok);
  EXPECT_EQ(log.Contains(u"shut down event triggered\n"), GetParam() == WaitEnder::kShutdown);
  if (GetParam() == WaitEnder::kShutdown) {
    CMessage* reply = nullptr;  // an echo would be answered
    EXPECT_FALSE(
        server_->SendSyncWithTimeout(NewMessage(kEcho, 5, true), &reply, waiter_.get(), 0));
    EXPECT_EQ(reply, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Enders, SyncWaitEndTest,
                         testing::Values(WaitEnder::kShutdown, WaitEnder::kChannelFailure,
                                         WaitEnder::kListenerRemoved));

}  // namespace
}  // namespace IPC
