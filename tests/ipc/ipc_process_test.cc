// Two real processes: the test is the server end, ipc_peer the client end.
#include <gtest/gtest.h>
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

CMessage* Numbered(int32_t seq) {
  auto* m = new CMessage(false, 0x07000301);
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
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    CheckNothingLeft();
  }

  base::CWaitableEvent shutdown_{false};
  base::RefPtr<ipc_test::RecordingListener> listener_{
      new ipc_test::RecordingListener(host_.Loop(Thread::kThreadExtensionManager))};
  std::unique_ptr<CSyncChannelProxy> server_;
  pid_t pid_ = -1;
};

// The peer crashes while its echoes are still streaming back.
TEST_F(ProcessTest, EchoesComeBackInOrderAReplyReachesItsSenderAndACrashIsReportedOnce) {
  for (int i = 0; i < 20000; ++i) ASSERT_TRUE(server_->Send(Numbered(i)));
  ASSERT_TRUE(listener_->WaitForMessages(1000));
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
  const auto got = listener_->messages();
  for (size_t i = 0; i < got.size(); ++i) {
    std::unique_ptr<CMessage> sent(Numbered(static_cast<int32_t>(i)));
    ASSERT_EQ(got[i].type, sent->type()) << i;
    ASSERT_EQ(got[i].payload, ipc_test::PayloadOf(*sent)) << i;
  }
}

}  // namespace
}  // namespace IPC
