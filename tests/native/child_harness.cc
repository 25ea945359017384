#include "native/child_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "platform/strings.h"
#include "thread/message_loop.h"
#include "thread/thread_service.h"

extern char** environ;

namespace native_test {
namespace {

using IPC::ValueType;
constexpr ValueType S = ValueType::kString, I = ValueType::kInt, L = ValueType::kInt64;

// What the browser expects each message of the child to carry.
std::vector<ValueType> ShapeFromChild(uint32_t type) {
  static const std::map<uint32_t, std::vector<ValueType>> kShapes = {
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
  return it == kShapes.end() ? std::vector<ValueType>() : it->second;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : path;
}

std::string NewChannelId() {
  static std::atomic<unsigned> next{0x1000};
  char id[64];
  std::snprintf(id, sizeof(id), "%d.%08X.%d", static_cast<int>(getpid()), next++, 4242);
  return id;
}

}  // namespace

std::string Incoming::Text(size_t i) const {
  if (i >= values.size()) return "?";
  if (values[i].type == ValueType::kString) return halcy::Utf16ToUtf8(values[i].text);
  return std::to_string(values[i].number);
}

void ServerListener::OnMessageReceived(const IPC::CMessage& m) {
  Incoming in;
  in.type = m.type();
  size_t used = 0;
  in.fits =
      IPC::ReadMessageValues(m, ShapeFromChild(m.type()), &in.values, &used) && used == m.size();
  in.payload.assign(m.data() + m.header_size(), m.payload_size());
  Add(std::move(in));
}

ServerListener::ServerListener(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

void ServerListener::OnChannelConnected(int32_t peer_pid) {
  Incoming in;
  in.values.resize(1);
  in.values[0].number = peer_pid;
  Add(std::move(in));  // type kConnected
}

void ServerListener::OnChannelError() {
  Incoming in;
  in.type = Incoming::kError;
  Add(std::move(in));
}

void ServerListener::Add(Incoming in) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(std::move(in));
  cv_.notify_all();
}

bool ServerListener::WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred,
                             std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return pred(received_); });
}

std::vector<Incoming> ServerListener::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

const Incoming* Find(const std::vector<Incoming>& in, uint32_t type) {
  for (const Incoming& m : in) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

std::vector<std::string> NamedEventsIn(const std::vector<Incoming>& in, const std::string& name) {
  std::vector<std::string> payloads;
  for (const Incoming& m : in) {
    if (m.type == 0x07000008 && m.fits && m.Text(0) == name) payloads.push_back(m.Text(1));
  }
  return payloads;
}

ChildHarness::ChildHarness()
    : root_(RealPath(dir_.path())),
      runtime_dir_("XDG_RUNTIME_DIR", root_),
      channel_id_(NewChannelId()) {
  server_ = std::make_unique<IPC::CSyncChannelProxy>(halcy::Utf8ToUtf16(channel_id_), 0,
                                                     host_.Loop(Thread::kThreadIPC), &shutdown_);
  listener_ =
      base::RefPtr<ServerListener>(new ServerListener(host_.Loop(Thread::kThreadExtensionManager)));
  server_->AddListener(listener_.get(), 0);
}

ChildHarness::~ChildHarness() {
  CloseServer();
  if (pid_ > 0 && exit_status_ < 0 && WaitForExitStatus(std::chrono::seconds(5)) < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  host_.WaitIdle();
}

bool ChildHarness::Start(bool scenario_output, std::vector<std::string> args, bool expect_hello) {
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

std::string ChildHarness::Install(const std::string& id, const std::string& source) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(root_) / "ext" / id;
  fs::create_directories(dir);
  const fs::path target = dir / fs::path(source).filename();
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  return target.string();
}

int ChildHarness::Load(const std::u16string& id, const std::string& path) {
  Send(Msg(0x07000001).S(id).S(halcy::Utf8ToUtf16(path)));
  const std::string wanted = halcy::Utf16ToUtf8(id);
  int result = -1;
  listener_->WaitFor([&](const std::vector<Incoming>& in) {
    for (const Incoming& m : in) {
      if (m.type == 0x07000014 && m.fits && m.Text(0) == wanted) {
        result = static_cast<int>(m.Number(1));
        return true;
      }
    }
    return false;
  });
  return result;
}

void ChildHarness::Send(Msg& message) { server_->Send(message.Release()); }

void ChildHarness::CloseServer() {
  if (!server_) return;
  server_->Close();
  server_.reset();
}

int ChildHarness::WaitForExitStatus(std::chrono::milliseconds limit) {
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

}  // namespace native_test
