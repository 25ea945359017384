// The browser's side of a real extension-library process: the server end of the channel (as the
// DLL host holds it, on a test host's IPC thread), a listener that decodes what the child sends,
// and the child, `plexore-host --channel=ID --type=BrindleProcess`, logging to a file.
//
//   ChildHarness h;
//   ASSERT_TRUE(h.Start()) << h.Diagnostics();     // spawned, hello received
//   EXPECT_EQ(1, h.Load(u"alpha", h.Install("alpha", PLEXORE_PROBE_LIBRARY)));
//   h.Send(Msg(0x07000008, {u"weather.update", u"{}"}));
//   ASSERT_TRUE(h.listener().WaitFor(0x07000010));
//   EXPECT_EQ(0, h.Shutdown());
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
#include <variant>
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

// A message from the child, decoded by the shape its type has for the browser. kConnected (the
// hello, the peer's pid in Number(0)) and kError stand for the channel's events.
struct Incoming {
  static constexpr uint32_t kConnected = 0, kError = 1;
  uint32_t type = 0;
  std::vector<IPC::MessageValue> values;
  bool fits = false;    // every value read and nothing left over
  std::string payload;  // the raw payload bytes

  std::string Text(size_t i) const {
    return i < values.size() ? halcy::Utf16ToUtf8(values[i].text) : "?";
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
      {0x07000014, {S, I}}};
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

inline const Incoming* Find(const std::vector<Incoming>& in, uint32_t type) {
  for (const Incoming& m : in) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

// Records on the host's extension-manager thread, under its own mutex.
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

  // Waits until `pred` holds over everything received so far; `pred` runs under the mutex.
  bool WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kWaitLimit, [&] { return pred(received_); });
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

// A message for the child: Msg(0x07000011, {u"id", 7, u"cmd", u"{}", 0}), 7LL for an int64.
using Value = std::variant<std::u16string, int32_t, int64_t>;
inline IPC::CMessage* Msg(uint32_t type, std::initializer_list<Value> values = {},
                          bool sync = false) {
  auto* m = new IPC::CMessage(sync, type);
  for (const Value& v : values) {
    if (v.index() == 0) m->WriteString(std::get<0>(v));
    if (v.index() == 1) m->WriteInt(std::get<1>(v));
    if (v.index() == 2) m->WriteInt64(std::get<2>(v));
  }
  return m;
}

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

  // Spawns the child with `args` (the two switches when empty) and waits for its hello. It is
  // started with a handle of the browser's on descriptor 9 that it must not keep.
  bool Start(std::vector<std::string> args = {}) {
    if (args.empty()) args = {"--channel=" + channel_id_, "--type=BrindleProcess"};
    // env(1) sets the child's log and then becomes the child (same pid).
    std::vector<std::string> command = {"/usr/bin/env", "-u", "PLEXORE_SCENARIO_OUTPUT",
                                        "HALCY_LOG=" + root_ + "/child.log:5:extDll;",
                                        PLEXORE_HOST};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string err = root_ + "/child.err";
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 9, InheritedMarker().c_str(), O_RDWR | O_CREAT,
                                     0600);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 && listener_->WaitFor(Incoming::kConnected);
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
    Send(Msg(0x07000001, {id, halcy::Utf8ToUtf16(path)}));
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
  void Send(IPC::CMessage* message) { server_->Send(message); }
  void CloseServer() {
    if (server_) server_->Close();
    server_.reset();
  }
  // Sends the shutdown (type 2) and returns the child's exit status.
  int Shutdown() {
    Send(Msg(2));
    return WaitForExitStatus();
  }
  // The child's exit status, 128 + the signal when killed by one, -1 when it did not end in time.
  int WaitForExitStatus(std::chrono::milliseconds limit = kWaitLimit) {
    if (exit_status_ >= 0 || pid_ <= 0) return exit_status_;
    // A process descriptor becomes readable when the process ends.
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
  std::string InheritedMarker() const { return root_ + "/inherited.marker"; }
  // The child's log (tag "extDll;", every level).
  std::string Log() const { return testing_support::ReadFileOrEmpty(root_ + "/child.log"); }
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
