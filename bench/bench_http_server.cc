#include "bench_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace bench_support {
namespace {

struct Request {
  std::string method;
  std::string path;
  size_t content_length = 0;
  bool keep_alive = true;
  bool expect_continue = false;
};

// Why a request cannot be answered normally; kNone when it can.
enum class Fault { kNone, kBadRequest, kTooLarge, kNotImplemented };

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The path of a request target: "/a/b?q" or "http://host[:port]/a/b?q" give "/a/b".
bool TargetPath(std::string_view target, std::string* path) {
  if (target.starts_with("http://") || target.starts_with("https://")) {
    const size_t authority = target.find("//") + 2;
    const size_t slash = target.find('/', authority);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  if (target.empty() || target.front() != '/') return false;
  *path = std::string(target.substr(0, target.find_first_of("?#")));
  return true;
}

bool ParseLength(std::string_view text, size_t* length) {
  if (text.empty() || text.size() > 10) return false;
  size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  *length = value;
  return true;
}

Fault ParseHeader(std::string_view name, std::string_view value, Request* request) {
  if (EqualsNoCase(name, "content-length")) {
    if (!ParseLength(value, &request->content_length)) return Fault::kBadRequest;
    if (request->content_length > BenchHttpServer::kMaxBodyBytes) return Fault::kTooLarge;
  } else if (EqualsNoCase(name, "transfer-encoding")) {
    return Fault::kNotImplemented;
  } else if (EqualsNoCase(name, "connection")) {
    if (EqualsNoCase(value, "close")) request->keep_alive = false;
    if (EqualsNoCase(value, "keep-alive")) request->keep_alive = true;
  } else if (EqualsNoCase(name, "expect")) {
    if (!EqualsNoCase(value, "100-continue")) return Fault::kBadRequest;
    request->expect_continue = true;
  }
  return Fault::kNone;
}

// Parses the header block (without its closing blank line).
Fault ParseRequest(std::string_view head, Request* request) {
  size_t end = head.find("\r\n");
  const std::string_view line = head.substr(0, end);
  const size_t first = line.find(' ');
  const size_t second = line.rfind(' ');
  if (first == std::string_view::npos || second == first) return Fault::kBadRequest;
  request->method = std::string(line.substr(0, first));
  const std::string_view version = line.substr(second + 1);
  if (version == "HTTP/1.0") {
    request->keep_alive = false;
  } else if (version != "HTTP/1.1") {
    return Fault::kBadRequest;
  }
  if (!TargetPath(line.substr(first + 1, second - first - 1), &request->path)) {
    return Fault::kBadRequest;
  }
  while (end != std::string_view::npos) {
    const size_t start = end + 2;
    end = head.find("\r\n", start);
    const std::string_view field = head.substr(start, end - start);
    const size_t colon = field.find(':');
    if (colon == 0 || colon == std::string_view::npos) return Fault::kBadRequest;
    if (Fault fault = ParseHeader(field.substr(0, colon), Trim(field.substr(colon + 1)), request);
        fault != Fault::kNone) {
      return fault;
    }
  }
  return Fault::kNone;
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

// Sends the status line, headers and `body` (left out for HEAD) in one write.
bool Reply(int fd, int code, const char* reason, std::string_view body, bool head_only,
           bool keep_alive) {
  std::string out = "HTTP/1.1 " + std::to_string(code) + " " + reason +
                    "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                    std::to_string(body.size()) + (keep_alive ? "" : "\r\nConnection: close") +
                    "\r\n\r\n";
  if (!head_only) out.append(body);
  return SendAll(fd, out);
}

bool ReplyFault(int fd, Fault fault) {
  switch (fault) {
    case Fault::kTooLarge:
      return Reply(fd, 413, "Content Too Large", "too large", false, false);
    case Fault::kNotImplemented:
      return Reply(fd, 501, "Not Implemented", "not implemented", false, false);
    default:
      return Reply(fd, 400, "Bad Request", "bad request", false, false);
  }
}

}  // namespace

BenchHttpServer::BenchHttpServer() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof(address);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listen_fd_, 256) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

BenchHttpServer::~BenchHttpServer() {
  stopping_.store(true);
  if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> handlers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : connections_) shutdown(fd, SHUT_RDWR);
    handlers.swap(handlers_);
  }
  for (std::thread& handler : handlers) handler.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string BenchHttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void BenchHttpServer::AddFile(const std::string& name, std::string bytes) {
  files_[name] = std::move(bytes);
}

void BenchHttpServer::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 200) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return;  // the listening socket was shut down
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load()) {
      close(fd);
      return;
    }
    connections_.push_back(fd);
    handlers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void BenchHttpServer::Serve(int fd) {
  std::string buffer;
  char chunk[16 * 1024];
  bool open = true;
  while (open) {
    size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > kMaxHeaderBytes) {
        ReplyFault(fd, Fault::kTooLarge);
        open = false;
        break;
      }
      const ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (!open) break;
    if (head_end > kMaxHeaderBytes) {
      ReplyFault(fd, Fault::kTooLarge);
      break;
    }
    Request request;
    if (const Fault fault = ParseRequest(std::string_view(buffer).substr(0, head_end), &request);
        fault != Fault::kNone) {
      ReplyFault(fd, fault);
      break;
    }
    if (request.expect_continue && !SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) break;
    buffer.erase(0, head_end + 4);
    while (buffer.size() < request.content_length) {
      const ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (buffer.size() < request.content_length) break;  // the client went away mid-body
    buffer.erase(0, request.content_length);            // the body is read, not used
    ++requests_;
    const bool head_only = request.method == "HEAD";
    const bool known = head_only || request.method == "GET" || request.method == "POST";
    const auto file =
        request.path.starts_with("/files/") ? files_.find(request.path.substr(7)) : files_.end();
    if (!known) {
      Reply(fd, 405, "Method Not Allowed", "", false, false);
      open = false;
    } else if (file == files_.end()) {
      open = Reply(fd, 404, "Not Found", "no file", head_only, request.keep_alive);
    } else {
      open = Reply(fd, 200, "OK", file->second, head_only, request.keep_alive);
    }
    open = open && request.keep_alive;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(std::find(connections_.begin(), connections_.end(), fd));
  close(fd);
}

}  // namespace bench_support
