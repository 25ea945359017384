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

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/message_loop_proxy.h"

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
  std::string Text(size_t i) const;
  int64_t Number(size_t i) const { return i < values.size() ? values[i].number : -1; }
};

// The payloads of the named events (0x07000008) called `name` in `in`, in order.
std::vector<std::string> NamedEventsIn(const std::vector<Incoming>& in, const std::string& name);
// The first entry of `type` in `in`, or null.
const Incoming* Find(const std::vector<Incoming>& in, uint32_t type);

class ServerListener : public IPC::CChannel::CListener {
 public:
  explicit ServerListener(Thread::CMessageLoop* loop);

  void OnMessageReceived(const IPC::CMessage& m) override;
  void OnChannelConnected(int32_t peer_pid) override;
  void OnChannelError() override;
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  // Waits until `pred` holds over everything received so far. `pred` runs under the
  // listener's mutex: it may not call the listener.
  bool WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred,
               std::chrono::milliseconds limit = kWaitLimit);
  bool WaitFor(uint32_t type) {
    return WaitFor([type](auto& in) { return Find(in, type) != nullptr; });
  }
  std::vector<Incoming> received();
  std::vector<std::string> NamedEvents(const std::string& name) {
    return NamedEventsIn(received(), name);
  }

 private:
  ~ServerListener() override = default;
  void Add(Incoming in);

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
  ChildHarness();
  ~ChildHarness();  // closes the server end, kills a child still running, reaps it

  // Spawns the child with `args` after the executable (the two switches when empty) and, unless
  // `expect_hello` is false, waits for its hello. With `scenario_output` the child runs with
  // PLEXORE_SCENARIO_OUTPUT=1.
  bool Start(bool scenario_output = false, std::vector<std::string> args = {},
             bool expect_hello = true);
  // Copies the library file `source` to <root>/ext/<id>/<its file name>; returns that path.
  std::string Install(const std::string& id, const std::string& source);
  // Sends 0x07000001 (id, path) and waits for the child's 0x07000014 for that id; returns its
  // int (1 loaded, 0 failed), or -1 when none came.
  int Load(const std::u16string& id, const std::string& path);
  // Hands `message` to the server end (asynchronous).
  void Send(Msg& message);
  void Send(Msg&& message) { Send(message); }
  // Closes the server end of the channel.
  void CloseServer();
  // Waits for the child's end: its exit status, 128 + the signal when killed by one, -1 when it
  // did not end within the limit.
  int WaitForExitStatus(std::chrono::milliseconds limit = kWaitLimit);

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
