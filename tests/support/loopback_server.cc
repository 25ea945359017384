#include "support/loopback_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// Reads the "PORT <n>" line from `fd` within 20 s; 0 when it does not come.
int ReadPortLine(int fd) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return 0;
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return 0;
    line.append(buffer, static_cast<size_t>(n));
  }
  if (line.rfind("PORT ", 0) != 0) return 0;
  return std::atoi(line.c_str() + 5);
}

}  // namespace

LoopbackServer::LoopbackServer() : log_path_(dir_.File("requests.log")) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::string script = PLEXORE_LOOPBACK_SERVER_SCRIPT;
  char* argv[] = {const_cast<char*>("python3"), script.data(), log_path_.data(), nullptr};
  int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_fd_ = in[1];
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    ADD_FAILURE() << "cannot start python3: " << rc;
    return;
  }
  port_ = ReadPortLine(out[0]);
  close(out[0]);
  if (port_ <= 0) ADD_FAILURE() << "the loopback server did not report its port";
}

LoopbackServer::~LoopbackServer() {
  if (stdin_fd_ >= 0) close(stdin_fd_);  // the server stops when its stdin closes
  if (pid_ > 0) {
    // A server that does not stop within 10 s is killed, so that a stuck test still ends.
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      pollfd none{};
      poll(&none, 0, 10);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> LoopbackServer::Requests() const {
  std::vector<RecordedRequest> requests;
  for (const std::string& line : SplitLines(ReadFileOrEmpty(log_path_))) {
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 10) continue;  // a line still being written
    requests.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], FromHex(f[9])});
  }
  return requests;
}

bool LoopbackServer::WaitForRequests(size_t count) const {
  return WaitUntil([&] { return Requests().size() >= count; });
}

std::string LoopbackPattern(size_t n) {
  std::string body(n, '\0');
  for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ScopedLoopbackProxy::ScopedLoopbackProxy(const LoopbackServer& server)
    : http_("http_proxy", server.Url("")),
      https_("https_proxy", server.Url("")),
      https_upper_("HTTPS_PROXY", server.Url("")),
      all_("all_proxy", server.Url("")),
      all_upper_("ALL_PROXY", server.Url("")),
      no_("no_proxy", ""),
      no_upper_("NO_PROXY", "") {}

}  // namespace testing_support
