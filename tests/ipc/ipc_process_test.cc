// Two real processes: the test is the server end, ipc_peer the client end.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_peer_protocol.h"
#include "ipc/ipc_sync_channel.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "thread/thread_service.h"

extern char** environ;

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RecordingListener;

constexpr uint32_t kEcho = 0x07000301;

CMessage* Numbered(int32_t seq) {
  auto* m = new CMessage(false, kEcho);
  m->WriteInt(seq);
  m->WriteString(std::u16string(static_cast<size_t>(seq % 97), u'a' + seq % 26));
  return m;
}

class ProcessTest : public ipc_test::IpcHostTest {
 protected:
  void SetUp() override {
    IpcHostTest::SetUp();
    server_ =
        std::make_unique<CSyncChannelProxy>(id_, 0, host_.Loop(Thread::kThreadIPC), &shutdown_);
    server_->AddListener(listener_.get(), 0);
    const std::string path =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ipc_peer").string();
    const std::string id = halcy::Utf16ToUtf8(id_);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(id.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ), 0);
  }
  void TearDown() override {
    server_.reset();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);  // the peer ends once its channel fails
    CheckNothingLeft();
  }
  // Sends `count` numbered messages for the peer to echo; returns once all are on the channel.
  void SendNumbered(int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(server_->Send(Numbered(i)));
    host_.RunOn(Thread::kThreadIPC, [] {});  // behind the task that hands them over
  }
  // Every echo that came back is whole and in its place.
  void ExpectEchoesInOrder() {
    const auto got = listener_->messages();
    for (size_t i = 0; i < got.size(); ++i) {
      std::unique_ptr<CMessage> sent(Numbered(static_cast<int32_t>(i)));
      ASSERT_EQ(got[i].type, kEcho) << i;
      ASSERT_EQ(got[i].payload, ipc_test::PayloadOf(*sent)) << i;
    }
  }

  base::CWaitableEvent shutdown_{false};
  RefPtr<RecordingListener> listener_{
      new RecordingListener(host_.Loop(Thread::kThreadExtensionManager))};
  std::unique_ptr<CSyncChannelProxy> server_;
  pid_t pid_ = -1;
};

TEST_F(ProcessTest, HundredThousandEchoedMessagesComeBackCompleteAndInOrder) {
  constexpr int kCount = 100000;
  SendNumbered(kCount);
  ASSERT_TRUE(listener_->WaitForMessages(kCount, std::chrono::seconds(60)));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->messages().size(), size_t{kCount});  // nothing lost, nothing twice
  ExpectEchoesInOrder();
  EXPECT_EQ(listener_->errors(), 0);
}

TEST_F(ProcessTest, PeerKilledMidStreamReportsOneErrorAndLeavesNothingBehind) {
  SendNumbered(100000);
  ASSERT_TRUE(listener_->WaitForMessages(5000));
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  ASSERT_TRUE(listener_->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 1);
  ExpectEchoesInOrder();
}

TEST_F(ProcessTest, SynchronousReplyComesBackAndAPeerCrashDuringASendWakesTheSender) {
  host_.RunOn(Thread::kThreadUI, [&] {
    auto* request = new CMessage(true, 0x07000302);
    request->WriteString(u"ping");
    CMessage* reply = nullptr;
    ASSERT_TRUE(server_->SendSyncWithTimeout(request, &reply, listener_.get(), 10000));
    std::unique_ptr<CMessage> owned(reply);
    const char* it = nullptr;
    std::u16string text;
    ASSERT_TRUE(reply->ReadString(&it, &text));
    EXPECT_EQ(text, u"ping");
    EXPECT_FALSE(server_->SendSyncWithTimeout(new CMessage(true, ipc_peer::kCrash), &reply,
                                              listener_.get(), 0));
  });
  ASSERT_TRUE(listener_->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener_->errors(), 1);
}

}  // namespace
}  // namespace IPC
