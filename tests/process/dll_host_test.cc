// The host of the extension-DLL process against a real child (process_test itself, main.cc): the
// queue before the hello, the child's command line, the incoming table, the stranger on the
// channel and the end of the child.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/ipc_message.h"
#include "platform/file_system.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/threads.h"
#include "process/dll_interaction_process_host.h"
#include "process/process_test_util.h"
#include "support/log_capture.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using process_testing::Children;
using process_testing::WaitUntil;

// Records what the host hands on: "manager 0x07000010 ext ext ext 0" (the type, then the values),
// "ui ...", "error"; a call on the wrong thread is marked with "?".
class RecordingOwner : public Logic::IDllInteractionOwner,
                       public base::CRefCountedThreadSafe<RecordingOwner> {
 public:
  RecordingOwner(DWORD ui, DWORD manager) : ui_(ui), manager_(manager) {}
  void AddRef() const override { base::CRefCountedThreadSafe<RecordingOwner>::AddRef(); }
  void Release() const override { base::CRefCountedThreadSafe<RecordingOwner>::Release(); }
  void OnDllMessage(const Logic::CDllMessage& m) override { Add(manager_, "manager", m); }
  void OnDllMessageInUIThread(const Logic::CDllMessage& m) override { Add(ui_, "ui", m); }
  void OnDllProcessChannelError() override { Add(manager_, "error", {}); }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void Add(DWORD thread, std::string call, const Logic::CDllMessage& m) {
    if (GetCurrentThreadId() != thread) call += "?";
    char type[16];
    if (m.type) call += std::string(type, std::snprintf(type, sizeof(type), " 0x%08X", m.type));
    for (const IPC::MessageValue& v : m.values) {
      call += " " + (v.type == IPC::ValueType::kString ? halcy::Utf16ToUtf8(v.text)
                                                       : std::to_string(v.number));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }

  const DWORD ui_, manager_;
  std::mutex mutex_;
  std::vector<std::string> calls_;  // Guarded by mutex_
};

IPC::CMessage* NamedEvent(const std::string& payload) {
  auto* message = new IPC::CMessage(false, 0x07000008);
  message->WriteString(u"seq");
  message->WriteString(halcy::Utf8ToUtf16(payload));
  return message;
}

std::string NamedEventLine(const std::string& payload) {
  return R"({"to":"dll","type":"0x07000008","params":["seq",")" + payload + "\"]}";
}

class DllHostTest : public ::testing::Test {
 protected:
  void TearDown() override {
    OnManager([&] { dll_->Shutdown(); });
    EXPECT_TRUE(host_.WaitIdle());
    EXPECT_TRUE(Children().empty());  // ended and reaped
  }
  template <class F>
  void OnManager(F&& fn) {
    host_.RunOn(Thread::kThreadExtensionManager, std::forward<F>(fn));
  }

  process_testing::ChildOutput out_;
  // Before the threads: the IPC thread logs the channel's end after Shutdown returns.
  testing_support::LogCapture log_;
  testing_support::TestHost host_;
  base::RefPtr<RecordingOwner> owner_{new RecordingOwner(
      host_.ThreadId(Thread::kThreadUI), host_.ThreadId(Thread::kThreadExtensionManager))};
  base::RefPtr<Logic::CDllInteractionProcessHost> dll_{
      new Logic::CDllInteractionProcessHost(owner_.get())};
};

TEST_F(DllHostTest, MessagesSentBeforeTheHelloFollowItInOrderAndTheOneBeyondTheQueueIsRefused) {
  std::vector<bool> accepted;
  OnManager([&] {
    dll_->Init();
    // The hello is handled on this thread, so it cannot come in the middle of this task.
    for (size_t i = 0; i <= Logic::kMaxPendingDllMessages; ++i) {
      accepted.push_back(dll_->Send(NamedEvent(std::to_string(i))));
    }
  });
  EXPECT_EQ(std::vector<bool>(4096, true), std::vector<bool>(accepted.begin(), accepted.end() - 1));
  EXPECT_FALSE(accepted.back());
  ASSERT_TRUE(WaitUntil([&] { return out_.Messages().size() >= 4096; }));
  const std::vector<std::string> lines = out_.Messages();
  for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(NamedEventLine(std::to_string(i)), lines[i]);

  // The child's command line, byte for byte: the running executable, quoted, then the channel
  // before the type; the id is pid.XXXXXXXX.n with the host's address in the middle.
  const std::u16string id = dll_->channel_id();
  char16_t exe[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(u"\"" + std::u16string(exe, n) + u"\" --channel=" + id + u" --type=BrindleProcess",
            dll_->launcher()->command_line().GetCommandLineString());
  const int number = std::stoi(halcy::Utf16ToUtf8(id.substr(id.rfind(u'.') + 1)));
  EXPECT_EQ(Logic::MakeDllChannelId(getpid(), dll_.get(), number), id);
  EXPECT_LT(number, 32768);

  // The shutdown message makes the child leave by itself.
  EXPECT_FALSE(dll_->Send(nullptr));
  OnManager([&] { dll_->Shutdown(); });  // TearDown checks that no child is left
  EXPECT_FALSE(log_.Contains(u"did not end by itself"));
  EXPECT_EQ(4096u, out_.Messages().size());
  EXPECT_TRUE(owner_->Calls().empty());
}

TEST_F(DllHostTest, AShutdownBeforeTheHelloStillDeliversWhatWaitedThenTheShutdown) {
  OnManager([&] {
    dll_->Init();
    dll_->Send(NamedEvent("1"));
    dll_->Shutdown();  // the child's hello cannot have been handled on this thread yet
  });
  EXPECT_EQ(std::vector<std::string>{NamedEventLine("1")}, out_.Messages());
  EXPECT_FALSE(log_.Contains(u"did not end by itself"));
}

// Each known type with its exact shape, and the shapes and types that are not taken (of the load
// states only the failure is); after Shutdown nothing reaches the owner.
TEST_F(DllHostTest, OnlyKnownMessagesThatFitTheirShapeReachTheOwnerOnTheirThread) {
  const struct {
    uint32_t type;
    std::string kinds;  // a value per letter: 's' the string "ext", ints 'i' 0, 'j' 1, 'l' 7
    std::string where;  // "" when nothing may reach the owner
  } cases[] = {{0x07000010, "sssi", "manager"}, {0x07000010, "sss", ""},
               {0x07000010, "sssii", ""},       {0x07000006, "siii", ""},  // meant for the child
               {0x07000099, "s", ""},           {0x07000004, "slssll", "manager"},
               {0x07000008, "ss", "manager"},   {0x0700000E, "slss", "manager"},
               {0x07000014, "si", "manager"},   {0x07000014, "sj", ""},
               {0x07000005, "slls", "ui"},      {0x07000009, "lsis", "ui"},
               {0x0700000B, "slsiisi", "ui"},   {0x0700000C, "sllis", "ui"}};
  auto receive_all = [&] {
    std::vector<std::string> expected;
    for (const auto& c : cases) {
      IPC::CMessage message(false, c.type);
      char type[16];
      std::string call = c.where + std::string(type, std::snprintf(type, 16, " 0x%08X", c.type));
      for (char kind : c.kinds) {
        if (kind == 's') message.WriteString(u"ext");
        if (kind == 'i' || kind == 'j') message.WriteInt(kind == 'j' ? 1 : 0);
        if (kind == 'l') message.WriteInt64(7);
        call += kind == 's' ? " ext" : kind == 'j' ? " 1" : kind == 'l' ? " 7" : " 0";
      }
      OnManager([&] { dll_->OnMessageReceived(message); });
      EXPECT_TRUE(host_.WaitIdle());  // the UI thread's call comes before the next message
      if (!c.where.empty()) expected.push_back(call);
    }
    return expected;
  };
  const std::vector<std::string> expected = receive_all();
  EXPECT_EQ(expected, owner_->Calls());
  OnManager([&] { dll_->Shutdown(); });  // the owner is let go
  receive_all();
  EXPECT_EQ(expected, owner_->Calls());
  EXPECT_FALSE(dll_->Send(NamedEvent("late")));
}

TEST_F(DllHostTest, AStrangerOnTheChannelIsRefusedAndAChildThatStaysAwayIsEnded) {
  process_testing::StandInChildren stand_in;  // the launched child never connects
  OnManager([&] { dll_->Init(); });
  const int child = process_testing::WaitForOnlyChild();
  ASSERT_TRUE(WaitUntil([&] { return !testing_support::ReadFileOrEmpty(stand_in.file).empty(); }));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = halcy::PipePathForName(dll_->channel_id());
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  IPC::CMessage hello(false, IPC::kMessageTypeHello);
  hello.WriteInt(getpid());
  send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);  // may find the socket closed already
  timeval limit{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char byte;
  const ssize_t n = read(fd, &byte, 1);
  const int error = errno;
  // Closed without a byte, not even the server's hello (a reset when our hello was unread).
  EXPECT_TRUE(n == 0 || (n < 0 && error == ECONNRESET)) << n << " " << error;
  close(fd);
  ASSERT_TRUE(WaitUntil([&] { return !owner_->Calls().empty(); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(std::vector<std::string>{"error"}, owner_->Calls());
  EXPECT_FALSE(dll_->Send(NamedEvent("late")));  // the channel failed
  EXPECT_TRUE(log_.Contains(u"Pipe client refused, process id : " +
                            halcy::Utf8ToUtf16(std::to_string(getpid())) + u"\n"));

  OnManager([&] { dll_->Shutdown(100); });
  EXPECT_TRUE(Children().empty());
  EXPECT_TRUE(log_.Contains(u"extension process " + halcy::Utf8ToUtf16(std::to_string(child)) +
                            u" did not end by itself, ended\n"));
}

}  // namespace
