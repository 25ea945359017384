// The browser's side of a real extension-library process for the tests: the server end of
// the channel (IPC::CSyncChannelProxy on a test host's IPC thread, as the DLL host uses it), a
// listener that decodes what the child sends, and the child itself, `plexore-host
// --channel=ID --type=BrindleProcess`, started with its log going to a file and its standard
// output to another.
//
//   ChildHarness h;
//   ASSERT_TRUE(h.Start());                       // spawned, hello received
//   EXPECT_EQ(1, h.Load(u"alpha", h.Install("alpha", kProbe)));
//   h.Send(Msg(0x07000008).S(u"weather.update").S(u"{}"));
//   ASSERT_TRUE(h.listener().WaitFor([](auto& in) { return ...; }));
//   h.Send(Msg(2));
//   EXPECT_EQ(0, h.WaitForExitStatus());
//
// Used on the test's main thread; the listener records on the host's extension-manager thread
// under its own mutex.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "base/waitable_event.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_values.h"
#include "ipc/ipc_sync_channel.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/thread_service.h"

namespace native_test {

constexpr auto kWaitLimit = std::chrono::seconds(20);

// A message from the child, decoded by the shape its type has for the browser. Two types stand
// for events of the channel: kConnected (the hello; the peer's pid in Number(0)) and kError.
struct Incoming {
  static constexpr uint32_t kConnected = 0, kError = 1;
  uint32_t type = 0;
  std::vector<IPC::MessageValue> values;
  bool fits = false;    // every value read and nothing left over
  std::string payload;  // the raw payload bytes

  // Parameter `i` as UTF-8 text, or as a decimal number; "?" when absent.
  std::string Text(size_t i) const {
    if (i >= values.size()) return "?";
    if (values[i].type == IPC::ValueType::kString) return halcy::Utf16ToUtf8(values[i].text);
    return std::to_string(values[i].number);
  }
  int64_t Number(size_t i) const { return i < values.size() ? values[i].number : -1; }
};

// What the browser expects each message of the child to carry.
inline std::vector<IPC::ValueType> ShapeFromChild(uint32_t type) {
  constexpr IPC::ValueType S = IPC::ValueType::kString, I = IPC::ValueType::kInt,
                           L = IPC::ValueType::kInt64;
  static const std::map<uint32_t, std::vector<IPC::ValueType>> kShapes = {
      {0x07000004, {S, L, S, S, L, L}},
      {0x07000005, {S, L, L, S}},
      {0x07000008, {S, S}},
      {0x07000009, {L, S, I, S}},
      {0x0700000B, {S, L, S, I, I, S, I}},
      {0x0700000C, {S, L, L, I, S}},
      {0x0700000E, {S, L, S, S}},
      {0x07000010, {S, S, S, I}},
      {0x07000014, {S, I}},
  };
  auto it = kShapes.find(type);
  return it == kShapes.end() ? std::vector<IPC::ValueType>() : it->second;
}

// The payloads of the named events (0x07000008) called `name` in `in`, in order.
inline std::vector<std::string> NamedEventsIn(const std::vector<Incoming>& in,
                                              const std::string& name) {
  std::vector<std::string> payloads;
  for (const Incoming& m : in) {
    if (m.type == 0x07000008 && m.fits && m.Text(0) == name) payloads.push_back(m.Text(1));
  }
  return payloads;
}

// The first entry of `type` in `in`, or null.
inline const Incoming* Find(const std::vector<Incoming>& in, uint32_t type) {
  for (const Incoming& m : in) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

class ServerListener : public IPC::CChannel::CListener {
 public:
  explicit ServerListener(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    Incoming in;
    in.type = m.type();
    size_t used = 0;
    in.fits =
        IPC::ReadMessageValues(m, ShapeFromChild(m.type()), &in.values, &used) && used == m.size();
    in.payload.assign(m.data() + m.header_size(), m.payload_size());
    Add(std::move(in));
  }
  void OnChannelConnected(int32_t peer_pid) override {
    Incoming in;  // type kConnected
    in.values.resize(1);
    in.values[0].number = peer_pid;
    Add(std::move(in));
  }
  void OnChannelError() override {
    Incoming in;
    in.type = Incoming::kError;
    Add(std::move(in));
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  // Waits until `pred` holds over everything received so far. `pred` runs under the
  // listener's mutex: it may not call the listener.
  bool WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred,
               std::chrono::milliseconds limit = kWaitLimit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return pred(received_); });
  }
  bool WaitFor(uint32_t type) {
    return WaitFor([type](auto& in) { return Find(in, type) != nullptr; });
  }
  std::vector<Incoming> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<std::string> NamedEvents(const std::string& name) {
    return NamedEventsIn(received(), name);
  }

 private:
  ~ServerListener() override = default;
  void Add(Incoming in) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(in));
    cv_.notify_all();
  }

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Incoming> received_;  // Guarded by mutex_
};

// Builds a message for the child: Msg(0x07000011).S(u"id").I(7).S(u"cmd").S(u"{}").I(0).
class Msg {
 public:
  explicit Msg(uint32_t type, bool sync = false) : m_(new IPC::CMessage(sync, type)) {}
  Msg& S(const std::u16string& text) {
    m_->WriteString(text);
    return *this;
  }
  Msg& I(int32_t value) {
    m_->WriteInt(value);
    return *this;
  }
  Msg& L(int64_t value) {
    m_->WriteInt64(value);
    return *this;
  }
  IPC::CMessage* Release() { return m_.release(); }

 private:
  std::unique_ptr<IPC::CMessage> m_;
};

class ChildHarness {
 public:
  ChildHarness()
      : root_(std::filesystem::canonical(dir_.path()).string()),
        runtime_dir_("XDG_RUNTIME_DIR", root_) {
    static std::atomic<unsigned> next{0x1000};
    char id[64];
    std::snprintf(id, sizeof(id), "%d.%08X.%d", static_cast<int>(getpid()), next++, 4242);
    channel_id_ = id;
    server_ = std::make_unique<IPC::CSyncChannelProxy>(halcy::Utf8ToUtf16(channel_id_), 0,
                                                       host_.Loop(Thread::kThreadIPC), &shutdown_);
    listener_ = base::RefPtr<ServerListener>(
        new ServerListener(host_.Loop(Thread::kThreadExtensionManager)));
    server_->AddListener(listener_.get(), 0);
  }
  // Closes the server end, kills a child still running, reaps it.
  ~ChildHarness() {
    CloseServer();
    if (pid_ > 0 && exit_status_ < 0 && WaitForExitStatus(std::chrono::seconds(5)) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    host_.WaitIdle();
  }

  // Spawns the child with `args` after the executable (the two switches when empty) and, unless
  // `expect_hello` is false, waits for its hello. With `scenario_output` the child runs with
  // PLEXORE_SCENARIO_OUTPUT=1.
  bool Start(bool scenario_output = false, std::vector<std::string> args = {},
             bool expect_hello = true) {
    if (args.empty()) args = {"--channel=" + channel_id_, "--type=BrindleProcess"};
    // env(1) sets the child's log and scenario switch and then becomes the child (same pid).
    std::vector<std::string> command = {"/usr/bin/env", "-u", "PLEXORE_SCENARIO_OUTPUT",
                                        "HALCY_LOG=" + root_ + "/child.log:5:extDll;"};
    if (scenario_output) command.push_back("PLEXORE_SCENARIO_OUTPUT=1");
    command.push_back(PLEXORE_HOST);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = root_ + "/child.out", err = root_ + "/child.err";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // A handle of the browser's that the child must not keep.
    const std::string marker = InheritedMarker();
    posix_spawn_file_actions_addopen(&actions, 9, marker.c_str(), O_RDWR | O_CREAT, 0600);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 && (!expect_hello || listener_->WaitFor(Incoming::kConnected));
  }
  // Copies the library file `source` to <root>/ext/<id>/<its file name>; returns that path.
  std::string Install(const std::string& id, const std::string& source) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(root_) / "ext" / id;
    fs::create_directories(dir);
    const fs::path target = dir / fs::path(source).filename();
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target.string();
  }
  // Sends 0x07000001 (id, path) and waits for the child's 0x07000014 for that id; returns its
  // int (1 loaded, 0 failed), or -1 when none came.
  int Load(const std::u16string& id, const std::string& path) {
    Send(Msg(0x07000001).S(id).S(halcy::Utf8ToUtf16(path)));
    int result = -1;
    listener_->WaitFor([&](const std::vector<Incoming>& in) {
      for (const Incoming& m : in) {
        if (m.type == 0x07000014 && m.fits && m.Text(0) == halcy::Utf16ToUtf8(id)) {
          result = static_cast<int>(m.Number(1));
        }
      }
      return result >= 0;
    });
    return result;
  }
  // Hands `message` to the server end (asynchronous).
  void Send(Msg& message) { server_->Send(message.Release()); }
  void Send(Msg&& message) { Send(message); }
  // Closes the server end of the channel.
  void CloseServer() {
    if (server_) server_->Close();
    server_.reset();
  }
  // Waits for the child's end: its exit status, 128 + the signal when killed by one, -1 when it
  // did not end within the limit.
  int WaitForExitStatus(std::chrono::milliseconds limit = kWaitLimit) {
    if (exit_status_ >= 0 || pid_ <= 0) return exit_status_;
    // A process descriptor becomes readable when the process ends: no polling needed.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0) return -1;
    pollfd p = {pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(limit.count()));
    close(pidfd);
    int status = 0;
    if (ready != 1 || waitpid(pid_, &status, 0) != pid_) return -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_;
  }

  ServerListener& listener() { return *listener_; }
  IPC::CSyncChannelProxy* server() { return server_.get(); }
  testing_support::TestHost& host() { return host_; }
  const std::string& root() const { return root_; }
  pid_t pid() const { return pid_; }
  std::string channel_id() const { return channel_id_; }
  // The file every child is started with open on descriptor 9, as an inherited handle.
  std::string InheritedMarker() const { return root_ + "/inherited.marker"; }
  // The child's log (tag "extDll;", every level) and standard output so far.
  std::string Log() const { return testing_support::ReadFileOrEmpty(root_ + "/child.log"); }
  std::string Output() const { return testing_support::ReadFileOrEmpty(root_ + "/child.out"); }
  // The child's log and standard error, for failure messages.
  std::string Diagnostics() const {
    return Log() + "child stderr:\n" + testing_support::ReadFileOrEmpty(root_ + "/child.err");
  }

 private:
  testing_support::ScopedTempDir dir_;
  std::string root_;  // dir_ with symbolic links resolved
  testing_support::ScopedEnv runtime_dir_;
  testing_support::TestHost host_;
  std::string channel_id_;
  base::CWaitableEvent shutdown_{false};
  std::unique_ptr<IPC::CSyncChannelProxy> server_;
  base::RefPtr<ServerListener> listener_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace native_test
