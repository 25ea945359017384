// IPC::CSyncChannelProxy: blocking sends and their replies, time-outs, reply errors, several
// waiters, dispatch-while-blocked messages, shutdown and channel failure during a wait, and
// the nested-loop wait. The peer is an asynchronous proxy in the same process whose listener
// answers on the process-launcher thread.
#include "ipc/ipc_sync_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "thread/message_loop.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RecordingListener;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadProcessLauncher;
using Thread::kThreadUI;

// Request types the peer answers in its own way.
constexpr uint32_t kEcho = 0x07000101;        // reply carrying the request's int
constexpr uint32_t kReplyError = 0x07000102;  // reply error
constexpr uint32_t kNoReply = 0x07000103;     // never answered
constexpr uint32_t kDwb = 0x07000104;         // dispatch-while-blocked message, then the reply
constexpr uint32_t kHold = 0x07000105;        // answered by the test
constexpr uint32_t kDwbMessage = 0x07000110;
constexpr uint32_t kAck = 0x07000111;
constexpr uint32_t kAsync = 0x07000120;

CMessage* Request(uint32_t type, int32_t value) {
  auto* m = new CMessage(true, type);
  m->WriteInt(value);
  return m;
}

int32_t FirstInt(const CMessage& m) {
  const char* it = nullptr;
  int32_t v = -1;
  m.ReadInt(&it, &v);
  return v;
}

// The result of a synchronous send made on another thread.
struct SendResult {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  std::unique_ptr<CMessage> reply;
  std::chrono::milliseconds elapsed{0};

  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, ipc_test::kWaitLimit, [&] { return done; });
  }
  bool IsDone() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
  }
};

class SyncChannelTest : public ipc_test::IpcHostTest {
 protected:
  void SetUp() override {
    IpcHostTest::SetUp();
    server_ = std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
    server_->AddListener(waiter_.get(), 0);
    server_->AddListener(other_waiter_.get(), 0);
    peer_->set_on_message([this](const CMessage& m) { Answer(m); });
    // Made on the IPC thread with its listener in the same task: the registration is then in
    // place before the channel's first read.
    host_.RunOn(kThreadIPC, [&] {
      client_ = std::make_unique<CChannelProxy>(id_, 1, host_.Loop(kThreadIPC));
      client_->AddListener(peer_.get(), 0);
    });
    ASSERT_TRUE(ipc_test::PollUntil([&] { return !peer_->connected().empty(); }));
  }
  void TearDown() override {
    server_.reset();
    client_.reset();
    CheckNothingLeft();
  }

  // The peer's behaviour, on the process-launcher thread.
  void Answer(const CMessage& m) {
    switch (m.type()) {
      case kEcho:
        Reply(m.serial_number(), false, FirstInt(m));
        break;
      case kReplyError:
        Reply(m.serial_number(), true, 0);
        break;
      case kDwb: {
        dwb_serial_ = m.serial_number();
        auto* note = new CMessage(false, kDwbMessage);
        note->SetDispatchWhileBlocked();
        client_->Send(note);
        break;
      }
      case kAck:
        Reply(dwb_serial_, false, 77);
        break;
      case kHold: {
        std::lock_guard<std::mutex> lock(held_mutex_);
        held_.emplace_back(FirstInt(m), m.serial_number());
        break;
      }
      default:
        break;
    }
  }
  void Reply(int64_t serial, bool error, int32_t value) {
    auto* reply = new CMessage(true, 0x07000200);
    reply->MakeReplyTo(serial, error);
    reply->WriteInt(value);
    client_->Send(reply);
  }
  int64_t HeldSerial(int32_t value) {
    std::lock_guard<std::mutex> lock(held_mutex_);
    for (auto& [v, serial] : held_) {
      if (v == value) return serial;
    }
    return 0;
  }
  size_t HeldCount() {
    std::lock_guard<std::mutex> lock(held_mutex_);
    return held_.size();
  }

  // Starts a synchronous send on the thread of `kind` with `listener` as the caller.
  std::shared_ptr<SendResult> SendOn(int kind, CMessage* message, CChannel::CListener* listener,
                                     DWORD timeout_ms) {
    auto result = std::make_shared<SendResult>();
    Thread::PostTask(kind, Thread::NewFuncTask([=, this] {
                       auto start = std::chrono::steady_clock::now();
                       CMessage* reply = nullptr;
                       bool ok =
                           server_->SendSyncWithTimeout(message, &reply, listener, timeout_ms);
                       std::lock_guard<std::mutex> lock(result->mutex);
                       result->ok = ok;
                       result->reply.reset(reply);
                       result->elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start);
                       result->done = true;
                       result->cv.notify_all();
                     }));
    return result;
  }

  base::CWaitableEvent shutdown_{false};
  RefPtr<RecordingListener> waiter_{new RecordingListener(host_.Loop(kThreadUI))};
  RefPtr<RecordingListener> other_waiter_{
      new RecordingListener(host_.Loop(kThreadExtensionManager))};
  RefPtr<RecordingListener> peer_{new RecordingListener(host_.Loop(kThreadProcessLauncher))};
  std::unique_ptr<CSyncChannelProxy> server_;
  std::unique_ptr<CChannelProxy> client_;
  std::atomic<int64_t> dwb_serial_{0};
  std::mutex held_mutex_;
  std::vector<std::pair<int32_t, int64_t>> held_;  // Guarded by held_mutex_
};

TEST_F(SyncChannelTest, SendReturnsTheMatchingReply) {
  auto r = SendOn(kThreadUI, Request(kEcho, 42), waiter_.get(), 5000);
  ASSERT_TRUE(r->Wait());
  EXPECT_TRUE(r->ok);
  ASSERT_NE(r->reply, nullptr);
  EXPECT_TRUE(r->reply->is_reply());
  EXPECT_FALSE(r->reply->is_borrowed());
  EXPECT_EQ(FirstInt(*r->reply), 42);
  EXPECT_EQ(server_->sync_context()->pending_send_count(), 0u);
}

TEST_F(SyncChannelTest, UnansweredSendTimesOutAfterAboutOneSecondWithItsLogLine) {
  testing_support::LogCapture log;
  CMessage* request = Request(kNoReply, 1);
  const int64_t serial = request->serial_number();
  auto r = SendOn(kThreadUI, request, waiter_.get(), 1000);
  ASSERT_TRUE(r->Wait());
  EXPECT_FALSE(r->ok);
  EXPECT_EQ(r->reply, nullptr);
  EXPECT_GE(r->elapsed.count(), 950);
  EXPECT_LT(r->elapsed.count(), 5000);
  const std::u16string prefix = halcy::Utf8ToUtf16(
      "Message (7000103) send timeout, serial number : " + std::to_string(serial) +
      ", Done event : ");
  bool found = false;
  for (const auto& line : log.Lines()) found |= line.text.rfind(prefix, 0) == 0;
  EXPECT_TRUE(found);
}

TEST_F(SyncChannelTest, ReplyErrorWakesTheSenderWithFalseAndNoReply) {
  auto r = SendOn(kThreadUI, Request(kReplyError, 1), waiter_.get(), 5000);
  ASSERT_TRUE(r->Wait());
  EXPECT_FALSE(r->ok);
  EXPECT_EQ(r->reply, nullptr);
  EXPECT_LT(r->elapsed.count(), 4000);  // woken by the reply, not by the time-out
}

TEST_F(SyncChannelTest, TwoWaitersAreEachWokenOnlyByTheirOwnReply) {
  auto first = SendOn(kThreadUI, Request(kHold, 1), waiter_.get(), 0);
  auto second = SendOn(kThreadExtensionManager, Request(kHold, 2), other_waiter_.get(), 0);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return HeldCount() == 2; }));

  Reply(HeldSerial(2), false, 200);
  ASSERT_TRUE(second->Wait());
  EXPECT_TRUE(second->ok);
  EXPECT_EQ(FirstInt(*second->reply), 200);
  EXPECT_FALSE(first->IsDone());
  EXPECT_EQ(server_->sync_context()->pending_send_count(), 1u);

  Reply(HeldSerial(1), false, 100);
  ASSERT_TRUE(first->Wait());
  EXPECT_TRUE(first->ok);
  EXPECT_EQ(FirstInt(*first->reply), 100);
}

TEST_F(SyncChannelTest, DispatchWhileBlockedMessageReachesTheWaitingThreadBeforeTheWaitEnds) {
  std::atomic<bool> returned{false};
  std::atomic<bool> seen_before_return{false};
  waiter_->set_on_message([&](const CMessage& m) {
    if (m.type() != kDwbMessage) return;
    seen_before_return = !returned.load();
    server_->Send(new CMessage(false, kAck));  // the peer replies only after this
  });
  auto r = SendOn(kThreadUI, Request(kDwb, 1), waiter_.get(), 8000);
  ASSERT_TRUE(r->Wait());
  returned = true;
  EXPECT_TRUE(r->ok);
  ASSERT_NE(r->reply, nullptr);
  EXPECT_EQ(FirstInt(*r->reply), 77);
  EXPECT_TRUE(seen_before_return.load());
  auto got = waiter_->messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, kDwbMessage);
  EXPECT_EQ(got[0].thread_id, host_.ThreadId(kThreadUI));
}

TEST_F(SyncChannelTest, AsynchronousMessageIsSentWithoutWaiting) {
  CMessage* reply = reinterpret_cast<CMessage*>(0x1);
  EXPECT_TRUE(server_->SendSyncWithTimeout(new CMessage(false, kAsync), &reply, waiter_.get(), 0));
  EXPECT_EQ(reply, nullptr);
  ASSERT_TRUE(peer_->WaitForMessages(1));
  EXPECT_EQ(peer_->messages()[0].type, kAsync);
}

TEST_F(SyncChannelTest, SignalledShutdownDestroysTheRequestUnsent) {
  shutdown_.Signal();
  ASSERT_TRUE(host_.WaitIdle());
  CMessage* reply = nullptr;
  EXPECT_FALSE(server_->SendSyncWithTimeout(Request(kEcho, 5), &reply, waiter_.get(), 0));
  EXPECT_EQ(reply, nullptr);
  server_->Send(new CMessage(false, kAsync));  // a marker behind it
  ASSERT_TRUE(peer_->WaitForMessages(1));
  EXPECT_EQ(peer_->messages()[0].type, kAsync);
}

// Whatever ends the wait early, the blocked sender wakes with false: the shutdown event (with
// its log line), a failed channel, or the removal of the routing-zero listener.
enum class WaitEnder { kShutdown, kChannelFailure, kListenerRemoved };

class SyncWaitEndTest : public SyncChannelTest, public testing::WithParamInterface<WaitEnder> {};

TEST_P(SyncWaitEndTest, WakesTheSenderWithFalse) {
  testing_support::LogCapture log;
  auto r = SendOn(kThreadUI, Request(kHold, 1), waiter_.get(), 0);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return HeldCount() == 1; }));
  switch (GetParam()) {
    case WaitEnder::kShutdown:
      shutdown_.Signal();
      break;
    case WaitEnder::kChannelFailure:
      client_->Close();
      break;
    case WaitEnder::kListenerRemoved:
      server_->RemoveListener(other_waiter_.get(), 0);
      break;
  }
  ASSERT_TRUE(r->Wait());
  EXPECT_FALSE(r->ok);
  if (GetParam() == WaitEnder::kShutdown) {
    EXPECT_TRUE(log.Contains(u"shut down event triggered\n"));
  }
  if (GetParam() == WaitEnder::kChannelFailure) {
    ASSERT_TRUE(waiter_->WaitForErrors(1));
  }
}

INSTANTIATE_TEST_SUITE_P(Enders, SyncWaitEndTest,
                         testing::Values(WaitEnder::kShutdown, WaitEnder::kChannelFailure,
                                         WaitEnder::kListenerRemoved));

TEST_F(SyncChannelTest, PumpEventMakesTheWaitRunANestedLoop) {
  testing_support::LogCapture log;
  base::CWaitableEvent pump(true);
  CMessage* request = Request(kHold, 1);
  request->set_pump_messages_event(&pump);
  auto r = SendOn(kThreadUI, request, waiter_.get(), 0);
  ASSERT_TRUE(ipc_test::PollUntil([&] { return HeldCount() == 1; }));
  // The UI thread is inside the send; a task posted there still runs, in the nested loop.
  std::atomic<bool> ran{false};
  Thread::PostTask(kThreadUI, Thread::NewFuncTask([&] { ran = true; }));
  ASSERT_TRUE(ipc_test::PollUntil([&] { return ran.load(); }));
  EXPECT_FALSE(r->IsDone());
  Reply(HeldSerial(1), false, 9);
  ASSERT_TRUE(r->Wait());
  EXPECT_TRUE(r->ok);
  EXPECT_EQ(FirstInt(*r->reply), 9);
  bool nested = false;
  for (const auto& line : log.Lines()) {
    nested |=
        line.text.find(u"is waiting for reply with nested messageloop") != std::u16string::npos;
  }
  EXPECT_TRUE(nested);
}

}  // namespace
}  // namespace IPC
