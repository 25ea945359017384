// IPC between two processes, against a raw Unix stream socket doing the same work.
//
//   BM_ChannelThroughput/<bytes>   batches of 1000 asynchronous messages of <bytes> payload
//                                  from this process's channel proxy to a peer process's
//                                  listener; a batch ends when the peer acknowledges its last
//                                  message. Items/s are messages, bytes/s payload bytes.
//   BM_RawThroughput/<bytes>       the baseline: the same payload bytes, one blocking send per
//                                  message on a raw socket, read by the peer in 4096-byte
//                                  reads; no framing, no threads.
//   BM_SyncRoundTrip/<where>    one synchronous send of 64 bytes and its reply; counters
//                                  p50_us and p99_us over every round trip of the run. The
//                                  peer's listener runs on its extension-manager thread (as
//                                  the extension-library host's does) or, for the floor of the
//                                  channel itself, on its IPC thread.
//   BM_RawPingPong                 the baseline: 64 bytes out and back with blocking send and
//                                  receive.
//
// The peer is this program started again with --peer or --raw-peer.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_services.h"
#include "host/thread_service.h"
#include "ipc/ipc_sync_channel.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_service.h"

extern char** environ;

namespace {

constexpr uint32_t kData = 0x07000401;      // int: 1 when the peer must acknowledge it
constexpr uint32_t kAck = 0x07000402;       // peer to host
constexpr uint32_t kSyncEcho = 0x07000403;  // sync: reply with the payload
constexpr int kBatch = 1000;
constexpr size_t kPingBytes = 64;

std::atomic<int> g_channel_counter{0};

Thread::CMessageLoop* LoopOf(host::CHostServices& services, int kind) {
  Thread::CMessageLoop* loop = nullptr;
  services.thread_service()->GetMessageLoop(kind, &loop);
  return loop;
}

// Runs `fn` on `loop` and waits for it.
template <class F>
void RunOnLoop(Thread::CMessageLoop* loop, F fn) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  loop->PostTask(Thread::NewFuncTask([&] {
                   fn();
                   std::lock_guard<std::mutex> lock(mutex);
                   done = true;
                   cv.notify_all();
                 }),
                 0);
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return done; });
}

pid_t Spawn(const char* mode, const std::string& arg, const char* option = nullptr) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(mode),
                  const_cast<char*>(arg.c_str()), const_cast<char*>(option), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

// A listener on a loop that counts messages of one type and wakes a waiter.
class CCounter : public IPC::CChannel::CListener {
 public:
  explicit CCounter(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    if (on_message_) {
      on_message_(m);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  void OnChannelConnected(int32_t) override {}
  void OnChannelError() override {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    cv_.notify_all();
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }
  // False when the channel failed first.
  bool WaitForCount(int64_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return count_ >= n || failed_; });
    return count_ >= n;
  }
  void WaitForFailure() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return failed_; });
  }
  std::function<void(const IPC::CMessage&)> on_message_;

 private:
  ~CCounter() override = default;
  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_ = 0;    // Guarded by mutex_
  bool failed_ = false;  // Guarded by mutex_
};

// ---- the peer processes ----

// `listener_on_ipc`: the peer's listener runs on its IPC thread rather than its
// extension-manager thread.
int RunChannelPeer(const std::string& id, bool listener_on_ipc) {
  host::CHostServices services;
  if (!services.Start()) return 3;
  Thread::CMessageLoop* ipc = LoopOf(services, Thread::kThreadIPC);
  base::RefPtr<CCounter> peer(
      new CCounter(listener_on_ipc ? ipc : LoopOf(services, Thread::kThreadExtensionManager)));
  std::unique_ptr<IPC::CChannelProxy> proxy;
  peer->on_message_ = [&](const IPC::CMessage& m) {
    if (m.type() == kSyncEcho) {
      auto* reply = new IPC::CMessage(true, kSyncEcho);
      reply->MakeReplyTo(m.serial_number(), false);
      reply->WriteBytes(m.data() + m.header_size(), m.payload_size());
      proxy->Send(reply);
      return;
    }
    const char* it = nullptr;
    int32_t ack = 0;
    if (m.type() == kData && m.ReadInt(&it, &ack) && ack) {
      proxy->Send(new IPC::CMessage(false, kAck));
    }
  };
  RunOnLoop(ipc, [&] {
    proxy = std::make_unique<IPC::CChannelProxy>(halcy::Utf8ToUtf16(id), 1, ipc);
    proxy->AddListener(peer.get(), 0);
  });
  peer->WaitForFailure();
  proxy.reset();
  services.Stop();
  return 0;
}

bool SendAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool RecvAll(int fd, char* data, size_t n) {
  while (n > 0) {
    ssize_t got = recv(fd, data, n, 0);
    if (got <= 0) return false;
    data += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// Commands: 'T' + uint64 byte count (read them, answer one byte); 'P' + uint32 size + uint32
// count (echo `count` blocks of `size` bytes).
int RunRawPeer(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 3;
  char buffer[4096];
  char command;
  while (RecvAll(fd, &command, 1)) {
    if (command == 'T') {
      uint64_t left;
      if (!RecvAll(fd, reinterpret_cast<char*>(&left), sizeof(left))) break;
      while (left > 0) {
        ssize_t got = recv(fd, buffer, std::min<uint64_t>(left, sizeof(buffer)), 0);
        if (got <= 0) return 0;
        left -= static_cast<uint64_t>(got);
      }
      SendAll(fd, "a", 1);
    } else if (command == 'P') {
      uint32_t size_count[2];
      if (!RecvAll(fd, reinterpret_cast<char*>(size_count), sizeof(size_count))) break;
      for (uint32_t i = 0; i < size_count[1]; ++i) {
        if (!RecvAll(fd, buffer, size_count[0]) || !SendAll(fd, buffer, size_count[0])) return 0;
      }
    }
  }
  close(fd);
  return 0;
}

// ---- this process's side ----

// The host's threads, a server proxy and a peer process for one benchmark run.
class ChannelSession {
 public:
  explicit ChannelSession(bool peer_listener_on_ipc = false) {
    ok_ = services_.Start();
    if (!ok_) return;
    id_ = "ipcbench." + std::to_string(getpid()) + "." + std::to_string(++g_channel_counter);
    ipc_ = LoopOf(services_, Thread::kThreadIPC);
    acks_ =
        base::RefPtr<CCounter>(new CCounter(LoopOf(services_, Thread::kThreadExtensionManager)));
    RunOnLoop(ipc_, [&] {
      proxy_ =
          std::make_unique<IPC::CSyncChannelProxy>(halcy::Utf8ToUtf16(id_), 0, ipc_, &shutdown_);
      proxy_->AddListener(acks_.get(), 0);
    });
    pid_ = Spawn("--peer", id_, peer_listener_on_ipc ? "ipc" : nullptr);
    ok_ = pid_ > 0;
  }
  ~ChannelSession() {
    proxy_.reset();  // the peer sees its channel fail and ends
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    services_.Stop();
  }
  bool ok() const { return ok_; }
  IPC::CSyncChannelProxy* proxy() { return proxy_.get(); }
  CCounter* acks() { return acks_.get(); }

 private:
  host::CHostServices services_;
  bool ok_ = false;
  std::string id_;
  Thread::CMessageLoop* ipc_ = nullptr;
  base::CWaitableEvent shutdown_{false};
  base::RefPtr<CCounter> acks_;
  std::unique_ptr<IPC::CSyncChannelProxy> proxy_;
  pid_t pid_ = -1;
};

class RawSession {
 public:
  RawSession() {
    path_ = halcy::PipePathForName(halcy::Utf8ToUtf16("ipcraw." + std::to_string(getpid()) + "." +
                                                      std::to_string(++g_channel_counter)));
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0) {
      close(listener);
      return;
    }
    pid_ = Spawn("--raw-peer", path_);
    fd_ = pid_ > 0 ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    unlink(path_.c_str());
  }
  ~RawSession() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  int fd() const { return fd_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
  int fd_ = -1;
};

void ReportPercentiles(benchmark::State& state, std::vector<double>* micros) {
  if (micros->empty()) return;
  std::sort(micros->begin(), micros->end());
  state.counters["p50_us"] = (*micros)[micros->size() / 2];
  state.counters["p99_us"] = (*micros)[micros->size() * 99 / 100];
}

void BM_ChannelThroughput(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  ChannelSession session;
  if (!session.ok()) return state.SkipWithError("no peer");
  const std::string payload(bytes - 4, 'p');  // the ack flag makes up the rest
  int64_t batches = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      auto* m = new IPC::CMessage(false, kData);
      m->WriteInt(i == kBatch - 1 ? 1 : 0);
      m->WriteBytes(payload.data(), static_cast<uint32_t>(payload.size()));
      session.proxy()->Send(m);
    }
    if (!session.acks()->WaitForCount(++batches)) return state.SkipWithError("channel failed");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ChannelThroughput)->Arg(64)->Arg(1024)->Arg(16384)->UseRealTime();

void BM_RawThroughput(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  RawSession session;
  if (session.fd() < 0) return state.SkipWithError("no peer");
  const std::string payload(bytes, 'p');
  for (auto _ : state) {
    char command[9] = {'T'};
    const uint64_t total = bytes * kBatch;
    std::memcpy(command + 1, &total, sizeof(total));
    SendAll(session.fd(), command, sizeof(command));
    for (int i = 0; i < kBatch; ++i) SendAll(session.fd(), payload.data(), payload.size());
    char ack;
    if (!RecvAll(session.fd(), &ack, 1)) return state.SkipWithError("peer failed");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_RawThroughput)->Arg(64)->Arg(1024)->Arg(16384)->UseRealTime();

void BM_SyncRoundTrip(benchmark::State& state) {
  ChannelSession session(/*peer_listener_on_ipc=*/state.range(0) == 1);
  if (!session.ok()) return state.SkipWithError("no peer");
  const std::string payload(kPingBytes, 's');
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    auto* request = new IPC::CMessage(true, kSyncEcho);
    request->WriteBytes(payload.data(), static_cast<uint32_t>(payload.size()));
    IPC::CMessage* reply = nullptr;
    if (!session.proxy()->SendSyncWithTimeout(request, &reply, nullptr, 5000)) {
      return state.SkipWithError("no reply");
    }
    delete reply;
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  ReportPercentiles(state, &micros);
}
BENCHMARK(BM_SyncRoundTrip)->ArgName("peer_listener_on_ipc_thread")->Arg(0)->Arg(1)->UseRealTime();

void BM_RawPingPong(benchmark::State& state) {
  RawSession session;
  if (session.fd() < 0) return state.SkipWithError("no peer");
  // The peer echoes as many blocks as the run needs: announce far more than it will use.
  char command[9] = {'P'};
  const uint32_t size_count[2] = {kPingBytes, 0xFFFFFFFF};
  std::memcpy(command + 1, size_count, sizeof(size_count));
  SendAll(session.fd(), command, sizeof(command));
  char block[kPingBytes] = {};
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!SendAll(session.fd(), block, sizeof(block)) ||
        !RecvAll(session.fd(), block, sizeof(block))) {
      return state.SkipWithError("peer failed");
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  ReportPercentiles(state, &micros);
}
BENCHMARK(BM_RawPingPong)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--peer") == 0) {
    return RunChannelPeer(argv[2], argc == 4 && std::strcmp(argv[3], "ipc") == 0);
  }
  if (argc == 3 && std::strcmp(argv[1], "--raw-peer") == 0) return RunRawPeer(argv[2]);
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
