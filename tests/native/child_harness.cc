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
#include <cstring>
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

ServerListener::ServerListener(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

void ServerListener::OnMessageReceived(const IPC::CMessage& m) {
  Incoming in;
  in.type = m.type();
  size_t used = 0;
  in.fits =
      IPC::ReadMessageValues(m, ShapeFromChild(m.type()), &in.values, &used) && used == m.size();
  in.payload.assign(m.data() + m.header_size(), m.payload_size());
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(std::move(in));
  cv_.notify_all();
}

void ServerListener::OnChannelConnected(int32_t peer_pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = true;
  peer_pid_ = peer_pid;
  cv_.notify_all();
}

void ServerListener::OnChannelError() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++errors_;
  cv_.notify_all();
}

bool ServerListener::WaitFor(const std::function<bool(const std::vector<Incoming>&)>& pred,
                             std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return pred(received_); });
}

bool ServerListener::WaitForConnected() {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, kWaitLimit, [&] { return connected_; });
}

bool ServerListener::WaitForError() {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, kWaitLimit, [&] { return errors_ > 0; });
}

std::vector<Incoming> ServerListener::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int32_t ServerListener::peer_pid() {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_pid_;
}

std::vector<std::string> ServerListener::NamedEvents(const std::string& name) {
  return NamedEventsIn(received(), name);
}

std::vector<std::string> NamedEventsIn(const std::vector<Incoming>& in, const std::string& name) {
  std::vector<std::string> payloads;
  for (const Incoming& m : in) {
    if (m.type == 0x07000008 && m.fits && m.Text(0) == name) payloads.push_back(m.Text(1));
  }
  return payloads;
}

int RunHostAndWait(const std::vector<std::string>& args) {
  const std::string host = HostPath();
  std::vector<char*> argv = {const_cast<char*>(host.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, host.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (rc != 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
  const std::string host = HostPath();
  std::vector<char*> argv = {const_cast<char*>(host.c_str())};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The environment of the test, with the child's log and scenario switch set here.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "HALCY_LOG=", 10) && std::strncmp(*e, "PLEXORE_SCENARIO_OUTPUT=", 24)) {
      env.emplace_back(*e);
    }
  }
  env.push_back("HALCY_LOG=" + root_ + "/child.log:5:extDll;");
  if (scenario_output) env.push_back("PLEXORE_SCENARIO_OUTPUT=1");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = root_ + "/child.out", err = root_ + "/child.err";
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // A handle of the browser's that the child must not keep.
  const std::string marker = InheritedMarker();
  posix_spawn_file_actions_addopen(&actions, 9, marker.c_str(), O_RDWR | O_CREAT, 0600);
  const int rc = posix_spawn(&pid_, host.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  return !expect_hello || listener_->WaitForConnected();
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

std::vector<std::string> ChildHarness::ChildDescriptors() const {
  std::vector<std::string> targets;
  const std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    targets.push_back(std::filesystem::read_symlink(entry.path(), ec).string());
  }
  return targets;
}

std::string ChildHarness::Log() const {
  return testing_support::ReadFileOrEmpty(root_ + "/child.log");
}

std::string ChildHarness::Output() const {
  return testing_support::ReadFileOrEmpty(root_ + "/child.out");
}

std::string ChildHarness::Diagnostics() const {
  return "child log:\n" + Log() + "child stderr:\n" +
         testing_support::ReadFileOrEmpty(root_ + "/child.err");
}

std::string HostPath() { return PLEXORE_HOST; }
std::string ShippedWeatherdesk() { return PLEXORE_SHIPPED_WEATHERDESK; }
std::string CrashLibraryPath() { return PLEXORE_CRASH_LIBRARY; }
std::string ProbePath() { return PLEXORE_PROBE_LIBRARY; }
std::string MissingExportPath() { return PLEXORE_MISSING_EXPORT_LIBRARY; }

}  // namespace native_test
