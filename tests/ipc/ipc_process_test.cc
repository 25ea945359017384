// Two real processes: the test is the server end, ipc_peer the client end.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_peer_protocol.h"
#include "ipc/ipc_sync_channel.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "thread/message_loop.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

extern char** environ;

namespace IPC {
namespace {

using base::RefPtr;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;

// Checks a stream of numbered messages as it arrives: count, order, errors.
class SequenceListener : public CChannel::CListener {
 public:
  struct Counts {
    int received = 0;
    int out_of_order = 0;
    int corrupt = 0;
    int errors = 0;
  };

  SequenceListener(Thread::CMessageLoop* loop, uint32_t type) : loop_(loop->proxy()), type_(type) {}

  void OnMessageReceived(const CMessage& m) override {
    if (m.type() != type_) return;
    const char* it = nullptr;
    int32_t seq = -1;
    std::u16string text;
    m.ReadInt(&it, &seq);
    std::lock_guard<std::mutex> lock(mutex_);
    if (seq != counts_.received) ++counts_.out_of_order;
    if (m.ReadString(&it, &text) && text != Filler(seq)) ++counts_.corrupt;
    ++counts_.received;
    cv_.notify_all();
  }
  void OnChannelConnected(int32_t pid) override {}
  void OnChannelError() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.errors;
    cv_.notify_all();
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  bool WaitUntil(const std::function<bool(const Counts&)>& pred,
                 std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return pred(counts_); });
  }
  Counts counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
  }

  static std::u16string Filler(int32_t seq) {
    return std::u16string(static_cast<size_t>(seq % 97), static_cast<char16_t>(u'a' + seq % 26));
  }

 private:
  ~SequenceListener() override = default;

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  const uint32_t type_;
  std::mutex mutex_;
  std::condition_variable cv_;
  Counts counts_;  // Guarded by mutex_
};

std::string PeerPath() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ipc_peer").string();
}

class ProcessTest : public ipc_test::IpcHostTest {
 protected:
  void SetUp() override {
    IpcHostTest::SetUp();
    server_ = std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(kThreadIPC), &shutdown_);
  }
  void TearDown() override {
    server_.reset();
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);  // the peer ends once its channel fails
    }
    CheckNothingLeft();
  }
  void StartPeer() {
    const std::string path = PeerPath();
    const std::string id = halcy::Utf16ToUtf8(id_);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(id.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ), 0);
  }

  base::CWaitableEvent shutdown_{false};
  std::unique_ptr<CSyncChannelProxy> server_;
  pid_t pid_ = -1;
};

TEST_F(ProcessTest, HundredThousandEchoedMessagesComeBackCompleteAndInOrder) {
  RefPtr<SequenceListener> listener(
      new SequenceListener(host_.Loop(kThreadExtensionManager), ipc_peer::kEcho));
  server_->AddListener(listener.get(), 0);
  StartPeer();
  constexpr int kCount = 100000;
  for (int i = 0; i < kCount; ++i) {
    auto* m = new CMessage(false, ipc_peer::kEcho);
    m->WriteInt(i);
    m->WriteString(SequenceListener::Filler(i));
    ASSERT_TRUE(server_->Send(m));
  }
  ASSERT_TRUE(listener->WaitUntil([](const auto& c) { return c.received >= kCount; }));
  ASSERT_TRUE(host_.WaitIdle());
  const SequenceListener::Counts counts = listener->counts();
  EXPECT_EQ(counts.received, kCount);  // nothing lost, nothing twice
  EXPECT_EQ(counts.out_of_order, 0);
  EXPECT_EQ(counts.corrupt, 0);
  EXPECT_EQ(counts.errors, 0);
}

TEST_F(ProcessTest, SynchronousRepliesAndReplyErrorsFromThePeer) {
  RefPtr<ipc_test::RecordingListener> waiter(
      new ipc_test::RecordingListener(host_.Loop(kThreadUI)));
  waiter->set_on_message([&](const CMessage& m) {
    if (m.type() == ipc_peer::kDwbNote) server_->Send(new CMessage(false, ipc_peer::kAck));
  });
  server_->AddListener(waiter.get(), 0);
  StartPeer();
  host_.RunOn(kThreadUI, [&] {
    auto* request = new CMessage(true, ipc_peer::kSyncEcho);
    request->WriteString(u"ping");
    CMessage* reply = nullptr;
    ASSERT_TRUE(server_->SendSyncWithTimeout(request, &reply, waiter.get(), 10000));
    std::unique_ptr<CMessage> owned(reply);
    const char* it = nullptr;
    std::u16string text;
    ASSERT_TRUE(reply->ReadString(&it, &text));
    EXPECT_EQ(text, u"ping");

    EXPECT_FALSE(server_->SendSyncWithTimeout(new CMessage(true, ipc_peer::kSyncError), &reply,
                                              waiter.get(), 10000));
    EXPECT_EQ(reply, nullptr);

    // The peer answers only after our listener, blocked in this very send, has acknowledged
    // its dispatch-while-blocked note.
    EXPECT_TRUE(server_->SendSyncWithTimeout(new CMessage(true, ipc_peer::kSyncDwb), &reply,
                                             waiter.get(), 10000));
    delete reply;
    auto got = waiter->messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, ipc_peer::kDwbNote);
    EXPECT_EQ(got[0].thread_id, GetCurrentThreadId());
  });
}

TEST_F(ProcessTest, PeerKilledMidStreamReportsOneErrorAndLeavesNothingBehind) {
  RefPtr<SequenceListener> listener(
      new SequenceListener(host_.Loop(kThreadExtensionManager), ipc_peer::kStreamItem));
  server_->AddListener(listener.get(), 0);
  StartPeer();
  auto* start = new CMessage(false, ipc_peer::kStream);
  start->WriteInt(0);  // until the channel fails
  server_->Send(start);
  ASSERT_TRUE(listener->WaitUntil([](const auto& c) { return c.received >= 5000; }));
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  ASSERT_TRUE(
      listener->WaitUntil([](const auto& c) { return c.errors > 0; }, ipc_test::kWaitLimit));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener->counts().errors, 1);
  EXPECT_EQ(listener->counts().out_of_order, 0);
}

TEST_F(ProcessTest, PeerCrashingDuringASynchronousSendWakesTheSender) {
  RefPtr<ipc_test::RecordingListener> waiter(
      new ipc_test::RecordingListener(host_.Loop(kThreadUI)));
  server_->AddListener(waiter.get(), 0);
  StartPeer();
  bool ok = host_.RunOn(kThreadUI, [&] {
    CMessage* reply = nullptr;
    return server_->SendSyncWithTimeout(new CMessage(true, ipc_peer::kCrash), &reply, waiter.get(),
                                        0);
  });
  EXPECT_FALSE(ok);
  ASSERT_TRUE(waiter->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(waiter->errors(), 1);
}

}  // namespace
}  // namespace IPC
