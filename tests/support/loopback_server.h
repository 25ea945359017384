// A real HTTP server on 127.0.0.1 for tests of the network code: tests/support/
// loopback_http_server.py run by python3, answering as an origin server and as a proxy.
//
//   LoopbackServer server;                 // starts it on a free port
//   ASSERT_TRUE(server.ok());
//   ScopedLoopbackProxy proxy(server);     // http_proxy and https_proxy point at it
//   ... post to "http://updates.example.test/echo" ...
//   auto requests = server.Requests();     // what reached it, in arrival order
//
// Routes and the request log are described in the script. With the proxy set, requests for
// any host name reach the server without a name lookup, so nothing leaves the machine.
// Construct, query and destroy on the test's main thread; Requests may be called while
// clients on other threads are still talking to the server.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_env.h"

namespace testing_support {

struct RecordedRequest {
  std::string method;
  std::string host;
  std::string port;  // as named in the request target; "" when none
  std::string path;
  std::string query;
  std::string content_type;
  std::string content_length;  // the header's text; "" when absent
  std::string user_agent;
  std::string accept;
  std::string body;
};

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(const std::string& path) const;

  std::vector<RecordedRequest> Requests() const;
  // Waits until at least `count` requests have been logged (up to 20 s); false on time-out.
  bool WaitForRequests(size_t count) const;

 private:
  ScopedTempDir dir_;
  std::string log_path_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

// Points the proxy environment at `server` for the scope: http_proxy, https_proxy and
// all_proxy name it, and no_proxy (all spellings) is emptied. Set it before the code under
// test opens its connections; the variables are read then.
// The body of the server's /bytes/<n> route: byte i is 'a' + i % 26.
std::string LoopbackPattern(size_t n);

// Polls `done` every 5 ms until it holds, for at most 20 s; false on time-out. For results that
// other threads or processes produce with no signal the test can wait on (log lines, files,
// the server's request log).
bool WaitUntil(const std::function<bool()>& done);

class ScopedLoopbackProxy {
 public:
  explicit ScopedLoopbackProxy(const LoopbackServer& server);

 private:
  ScopedEnv http_;
  ScopedEnv https_;
  ScopedEnv https_upper_;
  ScopedEnv all_;
  ScopedEnv all_upper_;
  ScopedEnv no_;
  ScopedEnv no_upper_;
};

}  // namespace testing_support
