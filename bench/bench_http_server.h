// A small HTTP/1.1 server on 127.0.0.1 for benchmarks that talk to a loopback server: it costs
// what a real server's network exchange costs (one accept, a read of the request, one write of
// the reply) and next to nothing besides, so that a timed run measures the client.
//
//   BenchHttpServer server;                       // listens on an ephemeral port
//   server.AddFile("updatelist", list_bytes);     // served at /files/updatelist
//   if (!server.ok()) ...;
//   ScopedEnv proxy("http_proxy", server.Url());  // any host name reaches it as a proxy
//
// It answers GET, HEAD and POST for "/files/<name>" with the bytes given to AddFile (the request
// target may be in origin form or in the absolute form a client sends to a proxy; only its
// path counts), and 404 for anything else. Requests are checked: the header block is capped
// at kMaxHeaderBytes, a body at kMaxBodyBytes, chunked bodies are refused; a bad request gets
// an error reply and its connection is closed. Connections stay open (keep-alive) unless the
// client asks for "Connection: close" or speaks HTTP/1.0.
//
// Threads: one accept thread and one thread per connection. AddFile must be called before the
// first request (the file table is read without a lock afterwards); construct and destroy on
// one thread. The destructor closes every connection and joins every thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench_support {

class BenchHttpServer {
 public:
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;

  BenchHttpServer();
  ~BenchHttpServer();
  BenchHttpServer(const BenchHttpServer&) = delete;
  BenchHttpServer& operator=(const BenchHttpServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>".
  std::string Url() const;
  // Serves `bytes` at "/files/<name>"; `name` is a plain file name. Before the first request.
  void AddFile(const std::string& name, std::string bytes);
  // Requests answered so far (any status).
  size_t requests() const { return requests_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  std::map<std::string, std::string> files_;  // Written before the first request only
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> requests_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> connections_;       // Guarded by mutex_: open connection sockets
  std::vector<std::thread> handlers_;  // Guarded by mutex_
};

}  // namespace bench_support
