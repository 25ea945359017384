// The host of the extension-DLL process against a real child (process_test itself): the
// queue before the hello, the child's command line, the incoming table, the stranger on the
// channel, the channel's failure and the end of the child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "ipc/ipc_message.h"
#include "platform/file_system.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "process/dll_interaction_process_host.h"
#include "process/process_test_util.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Logic::CDllInteractionProcessHost;
using process_testing::ChildLogFile;
using process_testing::RecordingOwner;
using process_testing::WaitUntil;

IPC::CMessage* NamedEvent(const std::u16string& name, const std::u16string& payload) {
  auto* message = new IPC::CMessage(false, 0x07000008);
  message->WriteString(name);
  message->WriteString(payload);
  return message;
}

class DllHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_ = base::RefPtr<RecordingOwner>(new RecordingOwner(
        host_.ThreadId(Thread::kThreadUI), host_.ThreadId(Thread::kThreadExtensionManager)));
    dll_ = base::RefPtr<CDllInteractionProcessHost>(new CDllInteractionProcessHost(owner_.get()));
  }
  void TearDown() override {
    OnManager([&] { dll_->Shutdown(); });
    EXPECT_TRUE(host_.WaitIdle());
  }
  template <class F>
  void OnManager(F&& fn) {
    host_.RunOn(Thread::kThreadExtensionManager, std::forward<F>(fn));
  }
  // Inits the host and waits for the child's hello; returns the child's pid.
  int StartConnected() {
    OnManager([&] { dll_->Init(); });
    const int pid = log_.WaitForStart(1);
    EXPECT_TRUE(WaitUntil([&] { return dll_->connected(); }));
    return pid;
  }

  testing_support::TestHost host_;
  ChildLogFile log_;
  base::RefPtr<RecordingOwner> owner_;
  base::RefPtr<CDllInteractionProcessHost> dll_;
};

TEST_F(DllHostTest, MessagesSentBeforeTheHelloFollowItInOrderAndTheOneBeyondTheQueueIsRefused) {
  std::vector<bool> accepted;
  size_t pending = 0;
  OnManager([&] {
    dll_->Init();
    // The hello is handled on this thread, so it cannot come in the middle of this task.
    for (size_t i = 0; i <= Logic::kMaxPendingDllMessages; ++i) {
      accepted.push_back(dll_->Send(NamedEvent(u"seq", halcy::Utf8ToUtf16(std::to_string(i)))));
    }
    pending = dll_->pending_count();
  });
  EXPECT_EQ(std::vector<bool>(4096, true), std::vector<bool>(accepted.begin(), accepted.end() - 1));
  EXPECT_FALSE(accepted.back());
  EXPECT_EQ(4096u, pending);

  const int pid = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(pid, 4097));
  const std::vector<std::string> lines = log_.LinesOf(pid);
  EXPECT_EQ("hello", lines[0]);
  for (size_t i = 0; i < 4096; ++i) {
    ASSERT_EQ("0x07000008 seq " + std::to_string(i), lines[i + 1]);
  }
  ASSERT_EQ(4097u, lines.size()) << lines.back();

  // The child's command line, byte for byte: the running executable, quoted, then the channel
  // before the type; the id is pid.XXXXXXXX.n with the host's address in the middle.
  const std::u16string id = dll_->channel_id();
  char16_t exe[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(u"\"" + std::u16string(exe, n) + u"\" --channel=" + id + u" --type=BrindleProcess",
            dll_->launcher()->command_line().GetCommandLineString());
  const std::string narrow_id = halcy::Utf16ToUtf8(id);
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(narrow_id, parts, std::regex(R"((\d+)\.([0-9A-F]{8})\.(\d+))")));
  EXPECT_EQ(std::to_string(getpid()), parts[1].str());
  char address[16];
  std::snprintf(address, sizeof(address), "%08X",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(dll_.get())));
  EXPECT_EQ(address, parts[2].str());
  EXPECT_LT(std::stoi(parts[3].str()), 32768);
  EXPECT_EQ("start " + std::to_string(pid) + " --channel=" + narrow_id +
                " --type=BrindleProcess fds=0,1,2",
            log_.Lines()[0]);

  // Shutdown: the shutdown message reaches the child, which leaves and is reaped.
  OnManager([&] { dll_->Shutdown(); });
  EXPECT_EQ("exit shutdown", log_.LinesOf(pid).back());
  EXPECT_TRUE(process_testing::ProcessGone(pid));
  EXPECT_TRUE(owner_->Calls().empty());
}

TEST_F(DllHostTest, AShutdownBeforeTheHelloStillDeliversWhatWaitedThenTheShutdown) {
  OnManager([&] {
    dll_->Init();
    dll_->Send(NamedEvent(u"early", u"1"));
    dll_->Send(NamedEvent(u"early", u"2"));
    dll_->Shutdown();  // the child's hello cannot have been handled on this thread yet
  });
  const int pid = log_.WaitForStart(1);
  EXPECT_EQ((std::vector<std::string>{"hello", "0x07000008 early 1", "0x07000008 early 2",
                                      "exit shutdown"}),
            log_.LinesOf(pid));
  EXPECT_TRUE(process_testing::ProcessGone(pid));
}

// A message of `type` with one value per letter: 's' the string "ext", 'i' the int 0, 'j' the
// int 1, 'l' the int64 7.
IPC::CMessage Build(uint32_t type, const std::string& kinds) {
  IPC::CMessage message(false, type);
  for (char kind : kinds) {
    if (kind == 's') message.WriteString(u"ext");
    if (kind == 'i' || kind == 'j') message.WriteInt(kind == 'j' ? 1 : 0);
    if (kind == 'l') message.WriteInt64(7);
  }
  return message;
}

TEST_F(DllHostTest, OnlyKnownMessagesThatFitTheirShapeReachTheOwnerOnTheirThread) {
  const struct {
    const char* name;
    uint32_t type;
    std::string kinds;
    std::string expected;  // "" when nothing may reach the owner
  } cases[] = {
      {"a command", 0x07000010, "sssi", "manager 0x07000010 ext|ext|ext|0"},
      {"a command one value short", 0x07000010, "sss", ""},
      {"a command with bytes left over", 0x07000010, "sssii", ""},
      {"a type meant for the child", 0x07000006, "siii", ""},
      {"a type nobody knows", 0x07000099, "s", ""},
      {"the answer to the front end", 0x07000004, "slssll", "manager 0x07000004 ext|7|ext|ext|7|7"},
      {"a named event", 0x07000008, "ss", "manager 0x07000008 ext|ext"},
      {"a request", 0x0700000E, "slss", "manager 0x0700000E ext|7|ext|ext"},
      {"a failed load", 0x07000014, "si", "manager 0x07000014 ext|0"},
      {"a load state other than failure", 0x07000014, "sj", ""},
      {"a command for the toolbar", 0x07000005, "slls", "ui 0x07000005 ext|7|7|ext"},
      {"a snapshot", 0x07000009, "lsis", "ui 0x07000009 7|ext|0|ext"},
      {"a page to open", 0x0700000B, "slsiisi", "ui 0x0700000B ext|7|ext|0|0|ext|0"},
      {"page information", 0x0700000C, "sllis", "ui 0x0700000C ext|7|7|0|ext"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = owner_->Calls().size();
    OnManager([&] { dll_->OnMessageReceived(Build(c.type, c.kinds)); });
    ASSERT_TRUE(host_.WaitIdle());
    const std::vector<std::string> calls = owner_->Calls();
    const std::vector<std::string> added(calls.begin() + before, calls.end());
    EXPECT_EQ(
        c.expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.expected},
        added);
  }
}

TEST_F(DllHostTest, NothingReachesTheOwnerAfterShutdown) {
  OnManager([&] { dll_->Shutdown(); });
  OnManager([&] { dll_->OnMessageReceived(Build(0x07000010, "sssi")); });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(owner_->Calls().empty());
  EXPECT_FALSE(dll_->Send(new IPC::CMessage(false, 0x07000007)));
}

TEST_F(DllHostTest, AStrangerOnTheChannelIsRefusedBeforeAnythingIsWrittenToIt) {
  testing_support::LogCapture log;
  testing_support::ScopedEnv mute("PLEXORE_TEST_CHILD_MODE", "mute");  // the child stays away
  OnManager([&] { dll_->Init(); });
  const int child = log_.WaitForStart(1);
  const std::string path = halcy::PipePathForName(dll_->channel_id());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
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
  EXPECT_FALSE(dll_->connected());
  EXPECT_TRUE(log.Contains(u"Pipe client refused, process id : " +
                           halcy::Utf8ToUtf16(std::to_string(getpid())) + u"\n"));
  OnManager([&] { dll_->Shutdown(); });
  EXPECT_TRUE(process_testing::ProcessGone(child));
  ASSERT_TRUE(host_.WaitIdle());  // the channel's last lines are logged before `log` goes
}

TEST_F(DllHostTest, ChannelErrorTellsTheOwnerOnceAndLaterSendsAreRefused) {
  const int pid = StartConnected();
  ASSERT_EQ(0, kill(pid, SIGKILL));
  ASSERT_TRUE(WaitUntil([&] { return !owner_->Calls().empty(); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(std::vector<std::string>{"error"}, owner_->Calls());
  EXPECT_FALSE(dll_->connected());
  EXPECT_FALSE(dll_->Send(NamedEvent(u"late", u"")));
  OnManager([&] { dll_->Shutdown(); });
  EXPECT_TRUE(process_testing::ProcessGone(pid));
}

TEST_F(DllHostTest, ShutdownEndsAChildThatDoesNotLeaveByItself) {
  testing_support::LogCapture log;
  testing_support::ScopedEnv hang("PLEXORE_TEST_CHILD_MODE", "hang");
  OnManager([&] { dll_->Init(); });
  const int pid = log_.WaitForStart(1);
  OnManager([&] { dll_->Shutdown(100); });
  EXPECT_TRUE(process_testing::ProcessGone(pid));
  EXPECT_TRUE(log.Contains(u"extension process " + halcy::Utf8ToUtf16(std::to_string(pid)) +
                           u" did not end by itself, ended\n"));
  ASSERT_TRUE(host_.WaitIdle());  // the channel's last lines are logged before `log` goes
}

}  // namespace
