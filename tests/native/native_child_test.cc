// The extension-library process for real: the test plays the browser's end of the channel (as
// the DLL host holds it, on a test host's IPC thread) and starts `plexore-host --channel=ID
// --type=BrindleProcess`, which loads real libraries built against the SDK header (weatherdesk,
// the crash library and the probe fixtures).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
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
#include "process/dll_interaction_process_host.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/thread_service.h"

namespace native_test {
namespace {

namespace fs = std::filesystem;

constexpr auto kWaitLimit = std::chrono::seconds(20);

// A message from the child, read by the shape the browser's host takes for its type; the
// channel's hello (the peer's pid in Number(0)) and its error come as kConnected and kError.
struct Incoming {
  static constexpr uint32_t kConnected = 0, kError = 1;
  uint32_t type = 0;
  std::vector<IPC::MessageValue> values;
  bool fits = false;    // every value read and nothing left over
  std::string payload;  // the raw payload bytes

  std::string Text(size_t i) const { return halcy::Utf16ToUtf8(values.at(i).text); }
  int64_t Number(size_t i) const { return values.at(i).number; }
};

// The payloads of the named events (0x07000008) called `name` in `in`, in order.
std::vector<std::string> NamedEventsIn(const std::vector<Incoming>& in, const std::string& name) {
  std::vector<std::string> payloads;
  for (const Incoming& m : in)
    if (m.type == 0x07000008 && m.fits && m.Text(0) == name) payloads.push_back(m.Text(1));
  return payloads;
}

const Incoming* Find(const std::vector<Incoming>& in, uint32_t type) {
  for (const Incoming& m : in)
    if (m.type == type) return &m;
  return nullptr;
}

// Records on the host's extension-manager thread, under its own mutex.
class ServerListener : public IPC::CChannel::CListener {
 public:
  explicit ServerListener(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    Incoming in{m.type(), {}, false, std::string(m.data() + m.header_size(), m.payload_size())};
    const std::vector<IPC::ValueType>* shape = Logic::DllMessageShapeFromChild(m.type());
    size_t used = 0;
    in.fits = shape && IPC::ReadMessageValues(m, *shape, &in.values, &used) && used == m.size();
    Add(std::move(in));
  }
  void OnChannelConnected(int32_t peer_pid) override {
    Add({Incoming::kConnected, {{IPC::ValueType::kInt, peer_pid, {}}}, false, ""});
  }
  void OnChannelError() override { Add({Incoming::kError, {}, false, ""}); }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  // Waits until `pred` holds over everything received so far; `pred` runs under the mutex.
  bool WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kWaitLimit, [&] { return pred(received_); });
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
IPC::CMessage* Msg(uint32_t type, std::initializer_list<Value> values = {}, bool sync = false) {
  auto* m = new IPC::CMessage(sync, type);
  for (const Value& v : values) {
    if (v.index() == 0) m->WriteString(std::get<0>(v));
    if (v.index() == 1) m->WriteInt(std::get<1>(v));
    if (v.index() == 2) m->WriteInt64(std::get<2>(v));
  }
  return m;
}

struct ChildHarness {
  ChildHarness()
      : root(std::filesystem::canonical(dir.path()).string()),
        runtime_dir("XDG_RUNTIME_DIR", root) {
    server->AddListener(listener.get(), 0);
  }
  // Closes the server end, kills a child still running, reaps it.
  ~ChildHarness() {
    CloseServer();
    if (pid > 0 && exit_status < 0 && WaitForExitStatus(std::chrono::seconds(5)) < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    host.WaitIdle();
  }

  // Starts the child with `args` (the two switches when empty) and waits for its hello. The
  // shell opens a handle of the browser's on descriptor 9 that the child must not keep, env(1)
  // sets the child's log, and both become the child in turn (same pid).
  bool Start(std::string args = "") {
    if (args.empty()) args = "--channel=" + channel_id + " --type=BrindleProcess";
    const std::string command = "exec 9<>" + root +
                                "/inherited.marker; exec /usr/bin/env -u PLEXORE_SCENARIO_OUTPUT "
                                "'HALCY_LOG=" +
                                root + "/child.log:5:extDll;' " PLEXORE_HOST " " + args;
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    return posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) == 0 &&
           listener->WaitFor([](auto& in) { return Find(in, Incoming::kConnected); });
  }
  // Copies the library file `source` to <root>/ext/<id>/<its file name>; returns that path.
  std::string Install(const std::string& id, const std::string& source) {
    const fs::path target = fs::path(root) / "ext" / id / fs::path(source).filename();
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target;
  }
  // Sends 0x07000001 (id, path) and waits for the child's 0x07000014 for that id; returns its
  // int (1 loaded, 0 failed), or -1 when none came.
  int Load(const std::u16string& id, const std::string& path) {
    Send(Msg(0x07000001, {id, halcy::Utf8ToUtf16(path)}));
    int64_t result = -1;
    listener->WaitFor([&](const std::vector<Incoming>& in) {
      for (const Incoming& m : in)
        if (m.type == 0x07000014 && m.fits && m.values[0].text == id) result = m.Number(1);
      return result >= 0;
    });
    return static_cast<int>(result);
  }
  void Send(IPC::CMessage* message) { server->Send(message); }
  void CloseServer() {
    if (server) server->Close();
    server.reset();
  }
  // Sends the shutdown (type 2) and returns the child's exit status.
  int Shutdown() {
    Send(Msg(2));
    return WaitForExitStatus();
  }
  // The child's exit status, 128 + the signal when killed by one, -1 when it did not end in time.
  int WaitForExitStatus(std::chrono::milliseconds limit = kWaitLimit) {
    if (exit_status >= 0 || pid <= 0) return exit_status;
    // A process descriptor becomes readable when the process ends.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return -1;
    pollfd p = {pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(limit.count()));
    close(pidfd);
    int status = 0;
    if (ready != 1 || waitpid(pid, &status, 0) != pid) return -1;
    exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status;
  }

  // The child's log (tag "extDll;", every level).
  std::string Log() const { return testing_support::ReadFileOrEmpty(root + "/child.log"); }

  testing_support::ScopedTempDir dir;
  std::string root;  // dir with symbolic links resolved
  testing_support::ScopedEnv runtime_dir;
  testing_support::TestHost host;
  // The browser's end, named as its host names it (each harness has its own pipe directory).
  const std::u16string id = Logic::MakeDllChannelId(getpid(), this, 4242);
  const std::string channel_id = halcy::Utf16ToUtf8(id);
  base::CWaitableEvent shutdown{false};
  std::unique_ptr<IPC::CSyncChannelProxy> server =
      std::make_unique<IPC::CSyncChannelProxy>(id, 0, host.Loop(Thread::kThreadIPC), &shutdown);
  base::RefPtr<ServerListener> listener{
      new ServerListener(host.Loop(Thread::kThreadExtensionManager))};
  pid_t pid = -1;
  int exit_status = -1;
};

TEST(NativeChildTest, HelloThenWeatherdeskRoundTripFromNamedEventToLoggedReply) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  EXPECT_EQ(h.pid, Find(h.listener->received(), Incoming::kConnected)->Number(0));  // the hello
  // The descriptor the child inherited is gone; only the log file, the pipe and the standard
  // streams (and the event loops' own descriptors) remain.
  bool socket = false;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(h.pid) + "/fd")) {
    const std::string target = fs::read_symlink(fd.path()).string();
    socket |= target.starts_with("socket:");
    EXPECT_NE(h.root + "/inherited.marker", target);
  }
  EXPECT_TRUE(socket);

  // The library as shipped in the built-in set, under its extension's directory.
  ASSERT_EQ(1, h.Load(u"weatherdesk", h.Install("weatherdesk", PLEXORE_SHIPPED_WEATHERDESK)));
  h.Send(Msg(0x07000008, {u"weather.update", u"{}"}));
  ASSERT_TRUE(h.listener->WaitFor([](auto& in) { return Find(in, 0x07000010); }));
  const Incoming command = *Find(h.listener->received(), 0x07000010);
  ASSERT_TRUE(command.fits);
  EXPECT_EQ("weatherdesk", command.Text(0));
  EXPECT_EQ("extension.invoke.utility.getversion", command.Text(1));
  EXPECT_EQ("{}", command.Text(2));
  const int32_t context = static_cast<int32_t>(command.Number(3));

  // The browser's answer, as delivery to an extension without a background page sends it.
  h.Send(Msg(0x07000011, {u"weatherdesk", context, u"extension.response.utility.getversion",
                          u"{\"version\":\"6.5.1.2\"}", 0}));
  ASSERT_EQ(0, h.Shutdown());
  const std::string log = h.Log();
  EXPECT_NE(std::string::npos, log.find("weatherdesk: weatherdesk: browser version for request " +
                                        std::to_string(context) + ": {\"version\":\"6.5.1.2\"}"))
      << log;
  EXPECT_NE(std::string::npos, log.find("weatherdesk: weatherdesk: unloaded")) << log;
}

// weatherdesk's forecast page through the SDK's page helpers: the four requests, in order and
// in the shapes the browser's host takes, then its log of the browser's answers.
TEST(NativeChildTest, WeatherdeskAsksForItsForecastPageAndLogsTheAnswers) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string library = h.Install("weatherdesk", PLEXORE_SHIPPED_WEATHERDESK);
  ASSERT_EQ(1, h.Load(u"weatherdesk", library));
  h.Send(Msg(0x07000008, {u"weather.page", u"7"}));
  ASSERT_TRUE(h.listener->WaitFor([](auto& in) { return Find(in, 0x07000005); }));
  const std::string target = fs::path(library).parent_path().string() + "/forecast.png";
  std::vector<std::string> requests;
  for (const Incoming& m : h.listener->received()) {
    if (m.type < 0x07000005 || m.type > 0x0700000C) continue;
    ASSERT_TRUE(m.fits) << std::hex << m.type;
    std::string text = std::to_string(m.type - 0x07000000);
    for (size_t i = 0; i < m.values.size(); ++i) {
      text += m.values[i].type == IPC::ValueType::kString ? " " + m.Text(i)
                                                          : " " + std::to_string(m.Number(i));
    }
    requests.push_back(text);
  }
  EXPECT_EQ(
      (std::vector<std::string>{"11 weatherdesk 7 forecast.html 1 1 showForecast() 0",
                                "12 weatherdesk 7 0 1 forecast", "9 7 weatherdesk 0 " + target,
                                "5 weatherdesk 1 0 forecast-shown"}),
      requests);

  h.Send(Msg(0x0700000D, {u"weatherdesk", int64_t{7}, int64_t{0}, 1, u"forecast",
                          u"{\"title\":\"Forecast\"}"}));
  h.Send(Msg(0x0700000A, {u"weatherdesk", int64_t{7}, 1, halcy::Utf8ToUtf16(target)}));
  h.Send(Msg(0x0700000A, {u"weatherdesk", int64_t{-1}, 0, u"/elsewhere.png"}));
  ASSERT_EQ(0, h.Shutdown());
  const std::string log = h.Log();
  for (const std::string& line :
       {std::string("weatherdesk: page of frame 7: {\"title\":\"Forecast\"}"),
        "weatherdesk: snapshot of frame 7 into " + target + ": written",
        std::string("weatherdesk: snapshot of frame -1 into /elsewhere.png: failed")}) {
    EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
  }
}

// Each case installs a probe (which announces itself from its load) behind a path the child
// must refuse, or a library it must not keep.
TEST(NativeChildTest, RefusedLibrariesAreReportedAsLoadFailuresAndNeverLoaded) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string probe = h.Install("real", PLEXORE_PROBE_LIBRARY);
  const fs::path root = h.root;
  fs::create_directories(root / "ext/dir.so");
  fs::create_directory_symlink(root / "ext/real", root / "ext/linkdir");
  fs::create_symlink(probe, root / "ext/link.so");
  testing_support::WriteFileOrDie((root / "ext/text.so").string(), "not a library");
  // "refuse" is a probe whose load returns 5, "" has no extension id, and "hardlink" is "real"'s
  // file once that is loaded.
  const std::pair<const char*, std::string> kCases[] = {
      {"relative", "ext/real/probe.so"},
      {"dotdot", (root / "ext/dir.so/../real/probe.so").string()},
      {"dot", (root / "ext/./real/probe.so").string()},
      {"linkfile", (root / "ext/link.so").string()},
      {"linkdir", (root / "ext/linkdir/probe.so").string()},
      {"directory", (root / "ext/dir.so").string()},
      {"missing", (root / "ext/nothing.so").string()},
      {"notelf", (root / "ext/text.so").string()},
      {"noexport", h.Install("noexport", PLEXORE_MISSING_EXPORT_LIBRARY)},
      {"refuse", h.Install("refuse", PLEXORE_PROBE_LIBRARY)},
      {"", probe},
      {"hardlink", (root / "ext/hard.so").string()}};
  // The file by its own path loads (with the browser's "\" before the file name), and a second
  // load of a loaded id changes nothing.
  std::string windows_style = probe;
  windows_style[windows_style.rfind('/')] = '\\';
  ASSERT_EQ(1, h.Load(u"real", windows_style));
  h.Send(Msg(0x07000001, {u"real", halcy::Utf8ToUtf16(probe)}));
  fs::create_hard_link(probe, root / "ext/hard.so");
  for (const auto& [id, path] : kCases) EXPECT_EQ(0, h.Load(halcy::Utf8ToUtf16(id), path)) << id;
  h.Send(Msg(0x07000007));  // a broadcast: reaches what is loaded
  ASSERT_TRUE(
      h.listener->WaitFor([](auto& in) { return NamedEventsIn(in, "probe.got").size() == 1; }));
  // Only "refuse" ran its load (and was refused); nothing else was ever loaded.
  EXPECT_EQ(std::vector<std::string>({"real", "refuse"}), h.listener->NamedEvents("probe.loaded"));
  const std::vector<std::string> got = h.listener->NamedEvents("probe.got");
  ASSERT_EQ(1u, got.size());
  EXPECT_TRUE(got[0].starts_with("real|") && got[0].ends_with("|07000007|")) << got[0];
  size_t reports = 0;
  for (const Incoming& m : h.listener->received()) reports += m.type == 0x07000014;
  EXPECT_EQ(std::size(kCases) + 1, reports);  // the repeated load is not answered
  EXPECT_EQ(0, h.Shutdown());
}

TEST(NativeChildTest, MessagesReachOnlyTheLibrariesTheyConcernInArrivalOrderOnOneThread) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  for (const char* id : {"alpha", "beta", "gamma"})
    ASSERT_EQ(1, h.Load(halcy::Utf8ToUtf16(id), h.Install(id, PLEXORE_PROBE_LIBRARY))) << id;
  h.Send(Msg(0x07000011, {u"beta", -5, u"cmd", u"{\"k\":\"\u00fc\u20ac\U0001D11E\"}", 0}));
  h.Send(Msg(0x07000012, {u"extension.notify.x", u"p"}));
  h.Send(Msg(0x07000006, {u"alpha", 1, 2, 3}));
  h.Send(Msg(0x07000003, {u"gamma", 1LL << 40, u"a", u"b", -1LL, 2LL}));
  h.Send(Msg(0x07000003, {u"nobody", 0LL, u"", u"", 0LL, 0LL}));
  h.Send(Msg(0x0700000A, {u"nobody", 1LL, 1, u"r"}));  // not loaded: nobody
  h.Send(Msg(0x0700000D, {u"gamma", 3LL, 0LL, 1, u"q", u"i"}));
  h.Send(Msg(0x0700000F, {u"alpha", 4LL, u"z"}));
  h.Send(Msg(0x07000011, {u"beta", 1, u"cmd"}));        // short: ignored
  h.Send(Msg(0x07000012, {u"n", u"p", 9}));             // trailing bytes: ignored
  h.Send(Msg(0x07000005, {u"alpha", 0LL, 0LL, u"c"}));  // the child's own type
  h.Send(Msg(0x07000002, {u"beta"}));
  // A synchronous message is delivered like any other and then answered, so that its sender
  // does not wait out the time-out.
  bool answered = false;
  h.host.RunOn(Thread::kThreadExtensionManager, [&] {
    IPC::CMessage* reply = nullptr;
    answered = h.server->SendSyncWithTimeout(Msg(0x07000007, {}, /*sync=*/true), &reply,
                                             h.listener.get(), 5000);
    delete reply;
  });
  EXPECT_TRUE(answered);
  const std::vector<std::string> expected = {
      "beta|07000011|s:beta,i:-5,s:cmd,s:{\"k\":\"\xC3\xBC\xE2\x82\xAC\xF0\x9D\x84\x9E\"},i:0",
      "alpha|07000012|s:extension.notify.x,s:p",
      "beta|07000012|s:extension.notify.x,s:p",
      "gamma|07000012|s:extension.notify.x,s:p",
      "alpha|07000006|s:alpha,i:1,i:2,i:3",
      "gamma|07000003|s:gamma,l:1099511627776,s:a,s:b,l:-1,l:2",
      "alpha|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "beta|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "gamma|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "gamma|0700000D|s:gamma,l:3,l:0,i:1,s:q,s:i",
      "alpha|0700000F|s:alpha,l:4,s:z",
      "alpha|07000007|",
      "gamma|07000007|",
  };
  ASSERT_TRUE(h.listener->WaitFor([&](auto& in) {
    return NamedEventsIn(in, "probe.got").size() >= expected.size();
  })) << h.Log();
  // Each report is "ID|THREAD|TYPE|params": every call on the one library thread.
  std::vector<std::string> reports;
  std::set<std::string> threads;
  for (const std::string& p : h.listener->NamedEvents("probe.got")) {
    const size_t a = p.find('|'), b = p.find('|', a + 1);
    threads.insert(p.substr(a + 1, b - a - 1));
    reports.push_back(p.substr(0, a) + p.substr(b));
  }
  EXPECT_EQ(expected, reports);
  EXPECT_EQ(1u, threads.size());
  EXPECT_NE(std::string::npos, h.Log().find("probe: unloaded beta"));
  EXPECT_EQ(0, h.Shutdown());
}

TEST(NativeChildTest, SendAcceptsOnlyTheTypesAndShapesALibraryMaySendForItsOwnId) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  ASSERT_EQ(1, h.Load(u"sender", h.Install("sender", PLEXORE_PROBE_LIBRARY)));
  // "TYPE KINDS [thread]" (see probe.c) and the result of the send; a message that was sent
  // reaches the browser with that type.
  const std::pair<const char*, int> kCases[] = {
      {"07000010 ossi", 1},    {"07000010 ossi thread", 1}, {"07000004 olssll", 1},
      {"07000005 olls", 1},    {"07000008 ss", 1},          {"07000009 lois", 1},
      {"0700000B olsiisi", 1}, {"0700000C ollis", 1},       {"0700000E olss", 1},
      {"07000010 ossl", 0},    {"07000010 oss", 0},         {"07000010 fssi", 0},
      {"07000009 lfis", 0},    {"07000010 nssi", 0},        {"07000010 ousi", 0},
      {"07000010 ossI", 0},    {"07000011 oissi", 0},       {"07000014 oi", 0},
      {"07000001 ss", 0},      {"07000099 .", 0},           {"07000007 .", 0},
  };
  size_t sent = 0;
  for (const auto& [spec, result] : kCases) {
    SCOPED_TRACE(spec);
    const size_t before = h.listener->received().size();
    h.Send(Msg(0x07000008, {u"probe.send", halcy::Utf8ToUtf16(spec)}));
    ASSERT_TRUE(h.listener->WaitFor(
        [&](auto& in) { return NamedEventsIn(in, "probe.sent").size() > sent; }));
    EXPECT_EQ("sender|" + std::to_string(result), h.listener->NamedEvents("probe.sent")[sent++]);
    // What reached the browser between the request and the report: the sent message alone.
    const std::vector<Incoming> in = h.listener->received();
    ASSERT_EQ(before + result + 1, in.size());
    if (result) {
      EXPECT_EQ(std::stoul(spec, nullptr, 16), in[before].type);
      EXPECT_TRUE(in[before].fits);
    }
  }
  // Byte for byte, the command: own id, "x", "x", 7.
  const Incoming command = *Find(h.listener->received(), 0x07000010);
  std::unique_ptr<IPC::CMessage> expected(Msg(0x07000010, {u"sender", u"x", u"x", 7}));
  EXPECT_EQ(std::string(expected->data() + expected->header_size(), expected->payload_size()),
            command.payload);
  EXPECT_EQ(0, h.Shutdown());
}

// Type 2 and the channel's end both unload every library, the last loaded first, and end the
// process with status 0 (under the sanitizers also: no leak, no error at exit).
TEST(NativeChildTest, ShutdownOrTheChannelsEndUnloadsEveryLibraryLastFirstAndExitsZero) {
  for (const bool by_shutdown : {true, false}) {
    SCOPED_TRACE(by_shutdown ? "shutdown" : "channel closed");
    ChildHarness h;
    ASSERT_TRUE(h.Start()) << h.Log();
    ASSERT_EQ(1, h.Load(u"alpha", h.Install("alpha", PLEXORE_PROBE_LIBRARY)));
    ASSERT_EQ(1, h.Load(u"beta", h.Install("beta", PLEXORE_PROBE_LIBRARY)));
    by_shutdown ? h.Send(Msg(2)) : h.CloseServer();
    ASSERT_EQ(0, h.WaitForExitStatus());
    const std::string log = h.Log();
    const size_t alpha = log.find("probe: unloaded alpha");
    ASSERT_NE(std::string::npos, alpha) << log;
    EXPECT_LT(log.find("probe: unloaded beta"), alpha) << log;
  }
}

TEST(NativeChildTest, CrashLibraryBringsTheProcessDownWhenAsked) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  ASSERT_EQ(1, h.Load(u"crashy", h.Install("crashy", PLEXORE_CRASH_LIBRARY)));
  h.Send(Msg(0x07000008, {u"weather.update", u"{}"}));  // any other event: it stays up
  h.Send(Msg(0x07000008, {u"crash.now", u"{}"}));
  // Killed by the signal (or, under ASan, its report's exit); -1 would be no end in time.
  EXPECT_GT(h.WaitForExitStatus(), 0);
  EXPECT_TRUE(h.listener->WaitFor([](auto& in) { return Find(in, Incoming::kError); }));
  EXPECT_NE(std::string::npos, h.Log().find("crash_on_request: crashing as asked"));
}

TEST(NativeChildTest,
     SwitchesInEitherOrderAreAcceptedOthersRefusedAndAnUnopenableChannelEndsWithOne) {
  ChildHarness h;
  ASSERT_TRUE(h.Start("--type=BrindleProcess --channel=" + h.channel_id));
  EXPECT_EQ(0, h.Shutdown());
  const std::string id = "--channel=" + h.channel_id, type = "--type=BrindleProcess";
  std::string out;
  for (const std::string& args :
       {id, type, id + " --type=renderer", id + " " + type + " " + type, id + " " + id + " " + type,
        "--channel=1.0000abcd.5 " + type /* lower-case hex */,
        "--channel=1.000ABCD.5 " + type /* seven digits */, "--channel=../../x " + type}) {
    EXPECT_EQ(2, testing_support::RunCommand(PLEXORE_HOST " " + args + " 2>/dev/null", &out))
        << args;
  }
  // A well-formed id that nobody listens on any more: the channel cannot be opened.
  h.CloseServer();
  EXPECT_EQ(1, testing_support::RunCommand(PLEXORE_HOST " " + id + " " + type, &out));
}

}  // namespace
}  // namespace native_test
