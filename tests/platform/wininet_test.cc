// WinINet on libcurl, against the loopback HTTP server (as origin and as proxy).
#include "platform/wininet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/strings.h"
#include "platform/win32.h"
#include "support/loopback_server.h"

namespace {

using testing_support::LoopbackServer;
using testing_support::ScopedLoopbackProxy;

constexpr char16_t kAgent[] = u"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98; kvt)";
constexpr char16_t kFormHeader[] = u"Content-Type: application/x-www-form-urlencoded";

std::string Pattern(size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>('a' + i % 26));
  return out;
}

struct Event {
  HINTERNET handle;
  DWORD status;
  DWORD_PTR result;
  DWORD error;
  std::thread::id thread;
};

// Collects the notifications of the handles whose context it is; waits end on a condition.
class Recorder {
 public:
  static void Callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                       DWORD length) {
    auto* self = reinterpret_cast<Recorder*>(context);
    if (self == nullptr) return;  // the root handle, opened without a context
    Event event{handle, status, 0, 0, std::this_thread::get_id()};
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && length == sizeof(INTERNET_ASYNC_RESULT)) {
      auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
      event.result = result->dwResult;
      event.error = result->dwError;
    }
    std::function<void(const Event&)> hook;
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      hook = self->hook_;
    }
    if (hook) hook(event);  // with no lock held: the hook may call back into WinINet
    // Recorded and signalled under the lock: once a waiter sees the event, this call no
    // longer touches the recorder, which may then go away.
    std::lock_guard<std::mutex> lock(self->mu_);
    self->events_.push_back(event);
    self->cv_.notify_all();
  }
  DWORD_PTR context() { return reinterpret_cast<DWORD_PTR>(this); }
  void SetHook(std::function<void(const Event&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
  }
  size_t Count(HINTERNET handle, DWORD status) {
    std::lock_guard<std::mutex> lock(mu_);
    return CountLocked(handle, status);
  }
  bool WaitFor(HINTERNET handle, DWORD status, size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20),
                        [&] { return CountLocked(handle, status) >= count; });
  }
  std::vector<Event> Of(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Event> out;
    for (const Event& e : events_) {
      if (e.handle == handle) out.push_back(e);
    }
    return out;
  }

 private:
  size_t CountLocked(HINTERNET handle, DWORD status) {
    size_t n = 0;
    for (const Event& e : events_) n += e.handle == handle && e.status == status;
    return n;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::function<void(const Event&)> hook_;
};

// One asynchronous request the way the update client makes it.
class AsyncRequest {
 public:
  AsyncRequest(const char16_t* host, INTERNET_PORT port, const char16_t* path,
               const char16_t* verb = u"POST", DWORD access = INTERNET_OPEN_TYPE_PRECONFIG) {
    root = InternetOpenW(kAgent, access, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(root, &Recorder::Callback);
    connect = InternetConnectW(root, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0,
                               recorder.context());
    const char16_t* accept[] = {u"*/*", nullptr};
    request = HttpOpenRequestW(connect, verb, path, nullptr, nullptr, accept, 0x84200000,
                               recorder.context());
  }
  // The recorder must outlive every notification: waits for the closing ones.
  ~AsyncRequest() {
    for (HINTERNET h : {request, connect}) {
      if (h != nullptr && InternetCloseHandle(h)) {
        EXPECT_TRUE(recorder.WaitFor(h, INTERNET_STATUS_HANDLE_CLOSING, 1));
      }
    }
    InternetCloseHandle(root);
  }
  // Send-ex, write, end; each asynchronous step must report ERROR_IO_PENDING.
  void Begin(const std::string& body) {
    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.lpcszHeader = kFormHeader;
    buffers.dwHeadersLength = static_cast<DWORD>(-1);
    buffers.dwBufferTotal = static_cast<DWORD>(body.size());
    ASSERT_FALSE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(recorder.WaitFor(request, INTERNET_STATUS_REQUEST_COMPLETE, 1));
    DWORD written = 0;
    if (!body.empty()) {
      ASSERT_TRUE(
          InternetWriteFile(request, body.data(), static_cast<DWORD>(body.size()), &written));
      ASSERT_EQ(written, body.size());
    }
    ASSERT_FALSE(HttpEndRequestW(request, nullptr, 0, 0));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  // Waits for the end step's completion; returns it.
  Event Finish() {
    EXPECT_TRUE(recorder.WaitFor(request, INTERNET_STATUS_REQUEST_COMPLETE, 2));
    std::vector<Event> events = recorder.Of(request);
    return events.empty() ? Event{} : events.back();
  }

  Recorder recorder;
  HINTERNET root = nullptr;
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;
};

DWORD QueryNumber(HINTERNET request, DWORD level) {
  DWORD value = 0;
  DWORD length = sizeof value;
  EXPECT_TRUE(HttpQueryInfoW(request, level | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr));
  return value;
}

std::string ReadAll(HINTERNET file, DWORD piece) {
  std::string out;
  std::vector<char> buffer(piece);
  DWORD read = 0;
  while (InternetReadFile(file, buffer.data(), piece, &read) && read != 0) {
    EXPECT_LE(read, piece);
    out.append(buffer.data(), read);
  }
  return out;
}

int ClosedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Each test gets its own loopback server, named by the proxy environment.
class WinInetTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    proxy_.emplace(server_);
  }
  LoopbackServer server_;
  std::optional<ScopedLoopbackProxy> proxy_;
};

TEST_F(WinInetTest, AsyncPostSendsExactRequestAndCompletesOnWorker) {
  struct Row {
    INTERNET_PORT port;
    const char* target_port;  // as the proxy sees it in the request target
  } rows[] = {{80, ""}, {0, ""}, {8123, "8123"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    size_t before = server_.Requests().size();
    AsyncRequest r(u"updates.example.test", row.port, u"/echo");
    std::string body = "sign_algorithm=rsa&comp_names=extsetup";
    ASSERT_NO_FATAL_FAILURE(r.Begin(body));
    Event done = r.Finish();
    EXPECT_EQ(done.result, DWORD_PTR{TRUE});
    EXPECT_EQ(done.error, 0u);
    for (const Event& e : r.recorder.Of(r.request)) EXPECT_NE(e.thread, std::this_thread::get_id());
    EXPECT_EQ(QueryNumber(r.request, HTTP_QUERY_STATUS_CODE), 200u);
    EXPECT_EQ(ReadAll(r.request, 4096), "echo:" + body);
    std::vector<testing_support::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), before + 1);
    const testing_support::RecordedRequest& got = requests.back();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.host, "updates.example.test");
    EXPECT_EQ(got.port, row.target_port);
    EXPECT_EQ(got.path, "/echo");
    EXPECT_EQ(got.content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(got.content_length, std::to_string(body.size()));
    EXPECT_EQ(got.user_agent, halcy::Utf16ToUtf8(kAgent));
    EXPECT_EQ(got.accept, "*/*");
    EXPECT_EQ(got.body, body);
  }
}

TEST_F(WinInetTest, StatusAndLocationAreReadBackWithoutFollowing) {
  struct Row {
    const char16_t* path;
    DWORD status;
    const char16_t* location;  // null: no Location header
    const char* body;
  } rows[] = {
      {u"/redirect-to/http%3A%2F%2Fnext.example.test%2Fx", 302, u"http://next.example.test/x", ""},
      {u"/status/404", 404, nullptr, "status 404"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(row.path));
    size_t before = server_.Requests().size();
    AsyncRequest r(u"updates.example.test", 80, row.path);
    ASSERT_NO_FATAL_FAILURE(r.Begin("a=1"));
    EXPECT_EQ(r.Finish().result, DWORD_PTR{TRUE});
    EXPECT_EQ(QueryNumber(r.request, HTTP_QUERY_STATUS_CODE), row.status);
    char16_t location[200];
    DWORD length = sizeof location;
    BOOL found = HttpQueryInfoW(r.request, HTTP_QUERY_LOCATION, location, &length, nullptr);
    if (row.location == nullptr) {
      EXPECT_FALSE(found);
      EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
    } else {
      ASSERT_TRUE(found);
      EXPECT_EQ(std::u16string(location, length / 2), row.location);
    }
    EXPECT_EQ(ReadAll(r.request, 64), row.body);
    EXPECT_EQ(server_.Requests().size(), before + 1);  // the redirect was not followed
  }
}

TEST_F(WinInetTest, TextQueryAsksForRoomThenFills) {
  AsyncRequest r(u"updates.example.test", 80, u"/redirect-to/http%3A%2F%2Fa.test%2F");
  ASSERT_NO_FATAL_FAILURE(r.Begin(""));
  r.Finish();
  DWORD length = 4;
  char16_t small[2];
  EXPECT_FALSE(HttpQueryInfoW(r.request, HTTP_QUERY_LOCATION, small, &length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, (std::u16string_view(u"http://a.test/").size() + 1) * 2);
  std::vector<char16_t> raw(4096);
  length = 4096 * 2;
  ASSERT_TRUE(HttpQueryInfoW(r.request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &length, nullptr));
  std::string headers = halcy::Utf16ToUtf8(std::u16string_view(raw.data(), length / 2));
  EXPECT_EQ(headers.rfind("HTTP/1.", 0), 0u) << headers;
  EXPECT_NE(headers.find("Location: http://a.test/\r\n"), std::string::npos) << headers;
}

TEST_F(WinInetTest, BodyIsReadInPiecesCutByTheCallersBuffer) {
  AsyncRequest r(u"updates.example.test", 80, u"/bytes/100", u"GET");
  ASSERT_NO_FATAL_FAILURE(r.Begin(""));
  r.Finish();
  char first[10];
  DWORD read = 0;
  ASSERT_TRUE(InternetReadFile(r.request, first, sizeof first, &read));
  EXPECT_EQ(std::string(first, read), Pattern(10));
  EXPECT_EQ(Pattern(10) + ReadAll(r.request, 7), Pattern(100));
  EXPECT_EQ(QueryNumber(r.request, HTTP_QUERY_CONTENT_LENGTH), 100u);
}

TEST_F(WinInetTest, ReplyBodyIsCutAtSixteenMebibytes) {
  AsyncRequest r(u"updates.example.test", 80, u"/bytes/16777316", u"GET");
  ASSERT_NO_FATAL_FAILURE(r.Begin(""));
  EXPECT_EQ(r.Finish().result, DWORD_PTR{TRUE});
  std::string body = ReadAll(r.request, 1 << 20);
  EXPECT_EQ(body.size(), 16u << 20);
  EXPECT_EQ(body.substr(body.size() - 26), Pattern(16777216).substr(16777216 - 26));
}

TEST_F(WinInetTest, HandleClosingComesOnceLastOnTheWorker) {
  AsyncRequest r(u"updates.example.test", 80, u"/echo");
  ASSERT_NO_FATAL_FAILURE(r.Begin("x=1"));
  r.Finish();
  HINTERNET request = r.request;
  ASSERT_TRUE(InternetCloseHandle(request));
  r.request = nullptr;
  ASSERT_TRUE(r.recorder.WaitFor(request, INTERNET_STATUS_HANDLE_CLOSING, 1));
  ASSERT_TRUE(InternetCloseHandle(r.connect));
  ASSERT_TRUE(r.recorder.WaitFor(r.connect, INTERNET_STATUS_HANDLE_CLOSING, 1));
  std::vector<Event> events = r.recorder.Of(request);
  ASSERT_EQ(events.size(), 3u);  // send-ex, end, closing
  EXPECT_EQ(events.back().status, INTERNET_STATUS_HANDLE_CLOSING);
  EXPECT_NE(events.back().thread, std::this_thread::get_id());
  EXPECT_EQ(r.recorder.Count(request, INTERNET_STATUS_HANDLE_CLOSING), 1u);
  // A closed or made-up handle is refused, never used.
  DWORD read = 0;
  char byte;
  for (HINTERNET bad : {request, reinterpret_cast<HINTERNET>(0x1234)}) {
    EXPECT_FALSE(InternetReadFile(bad, &byte, 1, &read));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(InternetCloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  r.connect = nullptr;
}

TEST_F(WinInetTest, ClosingDuringAStalledReplyAbandonsIt) {
  for (bool from_callback : {false, true}) {
    SCOPED_TRACE(from_callback);
    size_t before = server_.Requests().size();
    AsyncRequest r(u"updates.example.test", 80, u"/stall/1000/10", u"GET");
    HINTERNET request = r.request;
    if (from_callback) {  // closes the handle from inside its own send-ex notification
      r.recorder.SetHook([request](const Event& e) {
        if (e.handle == request && e.status == INTERNET_STATUS_REQUEST_COMPLETE) {
          EXPECT_FALSE(HttpEndRequestW(request, nullptr, 0, 0));
          EXPECT_TRUE(InternetCloseHandle(request));
        }
      });
      INTERNET_BUFFERSW buffers{};
      buffers.dwStructSize = sizeof buffers;
      ASSERT_FALSE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
    } else {
      ASSERT_NO_FATAL_FAILURE(r.Begin(""));
      ASSERT_TRUE(server_.WaitForRequests(before + 1));
      ASSERT_TRUE(InternetCloseHandle(request));
    }
    r.request = nullptr;
    ASSERT_TRUE(r.recorder.WaitFor(request, INTERNET_STATUS_HANDLE_CLOSING, 1));
    EXPECT_EQ(r.recorder.Count(request, INTERNET_STATUS_REQUEST_COMPLETE), 1u);
    EXPECT_EQ(r.recorder.Of(request).back().status, INTERNET_STATUS_HANDLE_CLOSING);
  }
}

TEST_F(WinInetTest, RefusedConnectionCompletesWithCannotConnect) {
  int port = ClosedLoopbackPort();
  AsyncRequest r(u"127.0.0.1", static_cast<INTERNET_PORT>(port), u"/echo", u"POST",
                 INTERNET_OPEN_TYPE_DIRECT);
  ASSERT_NO_FATAL_FAILURE(r.Begin("a=b"));
  Event done = r.Finish();
  EXPECT_EQ(done.result, DWORD_PTR{FALSE});
  EXPECT_EQ(done.error, ERROR_INTERNET_CANNOT_CONNECT);
  DWORD value = 0;
  DWORD length = sizeof value;
  EXPECT_FALSE(HttpQueryInfoW(r.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value,
                              &length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_FALSE(halcy::WinInetMessageText(done.error).empty());
}

TEST_F(WinInetTest, NoProxyHostsBypassTheProxy) {
  struct Row {
    const char* no_proxy;
    std::string target_port;  // "" when the server was asked directly (origin form)
  } rows[] = {{"127.0.0.1", ""}, {"", std::to_string(server_.port())}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.no_proxy);
    testing_support::ScopedEnv no_proxy("no_proxy", row.no_proxy);
    size_t before = server_.Requests().size();
    AsyncRequest r(u"127.0.0.1", static_cast<INTERNET_PORT>(server_.port()), u"/echo");
    ASSERT_NO_FATAL_FAILURE(r.Begin("q=1"));
    EXPECT_EQ(r.Finish().result, DWORD_PTR{TRUE});
    std::vector<testing_support::RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().port, row.target_port);
  }
}

TEST_F(WinInetTest, OpenUrlGetsOnTheCallersThread) {
  HINTERNET root =
      InternetOpenW(u"InetURL:/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(root, nullptr);
  struct Row {
    const char16_t* url;
    DWORD status;
    std::string body;
  } rows[] = {{u"http://updates.example.test/bytes/30?x=1", 200, Pattern(30)},
              {u"http://updates.example.test/missing", 404, "no route"}};
  for (const Row& row : rows) {
    HINTERNET file = InternetOpenUrlW(root, row.url, nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    ASSERT_NE(file, nullptr) << GetLastError();
    EXPECT_EQ(QueryNumber(file, HTTP_QUERY_STATUS_CODE), row.status);
    EXPECT_EQ(ReadAll(file, 8), row.body);
    EXPECT_TRUE(InternetCloseHandle(file));
  }
  testing_support::RecordedRequest first = server_.Requests().at(0);
  EXPECT_EQ(first.method, "GET");
  EXPECT_EQ(first.path, "/bytes/30");
  EXPECT_EQ(first.query, "x=1");
  EXPECT_EQ(first.user_agent, "InetURL:/1.0");
  for (const char16_t* url : {u"ftp://updates.example.test/x", u"file:///etc/hostname",
                              u"gopher://updates.example.test/"}) {
    EXPECT_EQ(InternetOpenUrlW(root, url, nullptr, 0, INTERNET_FLAG_RELOAD, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  }
  EXPECT_EQ(server_.Requests().size(), 2u);
  EXPECT_TRUE(InternetCloseHandle(root));
}

TEST_F(WinInetTest, SynchronousRootPostsOnTheCallersThread) {
  HINTERNET root = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET connect = InternetConnectW(root, u"updates.example.test", 80, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request = HttpOpenRequestW(connect, u"POST", u"/echo", nullptr, nullptr, nullptr, 0, 0);
  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpcszHeader = kFormHeader;
  buffers.dwHeadersLength = static_cast<DWORD>(-1);
  buffers.dwBufferTotal = 3;
  ASSERT_TRUE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
  DWORD written = 0;
  ASSERT_TRUE(InternetWriteFile(request, "k=v", 3, &written));
  ASSERT_TRUE(HttpEndRequestW(request, nullptr, 0, 0));  // the reply is there on return
  EXPECT_EQ(ReadAll(request, 16), "echo:k=v");
  EXPECT_EQ(server_.Requests().at(0).accept, "");  // no accept types: no Accept header
  for (HINTERNET h : {request, connect, root}) EXPECT_TRUE(InternetCloseHandle(h));
}

struct CrackRow {
  const char16_t* url;
  INTERNET_SCHEME scheme;
  INTERNET_PORT port;
  const char16_t* host;
  const char16_t* path;
  const char16_t* extra;
  const char16_t* user;
};

TEST(WinInetCrackUrl, SplitsIntoPointersIntoTheUrl) {
  const CrackRow rows[] = {
      {u"http://updates.example.test/list", INTERNET_SCHEME_HTTP, 80, u"updates.example.test",
       u"/list", u"", u""},
      {u"HTTPS://a.example.test:8443/p/q?x=1#f", INTERNET_SCHEME_HTTPS, 8443, u"a.example.test",
       u"/p/q", u"?x=1#f", u""},
      {u"https://a.example.test", INTERNET_SCHEME_HTTPS, 443, u"a.example.test", u"", u"", u""},
      {u"http://h.example.test?only=query", INTERNET_SCHEME_HTTP, 80, u"h.example.test", u"",
       u"?only=query", u""},
      {u"http://me:pw@h.example.test:81/", INTERNET_SCHEME_HTTP, 81, u"h.example.test", u"/", u"",
       u"me"},
      {u"http://[::1]:8080/v6", INTERNET_SCHEME_HTTP, 8080, u"[::1]", u"/v6", u"", u""},
      {u"http://[::1]/v6", INTERNET_SCHEME_HTTP, 80, u"[::1]", u"/v6", u"", u""},
      {u"ftp://h.example.test/x", INTERNET_SCHEME_UNKNOWN, 0, u"h.example.test", u"/x", u"", u""},
  };
  for (const CrackRow& row : rows) {
    std::u16string url = row.url;
    SCOPED_TRACE(halcy::Utf16ToUtf8(url));
    URL_COMPONENTSW c{};
    c.dwStructSize = sizeof c;
    c.dwSchemeLength = c.dwHostNameLength = c.dwUrlPathLength = c.dwExtraInfoLength = 1;
    c.dwUserNameLength = 1;
    ASSERT_TRUE(InternetCrackUrlW(url.c_str(), 0, 0, &c));
    EXPECT_EQ(c.nScheme, row.scheme);
    EXPECT_EQ(c.nPort, row.port);
    EXPECT_EQ(c.lpszScheme, url.c_str());
    EXPECT_EQ(std::u16string(c.lpszHostName, c.dwHostNameLength), row.host);
    EXPECT_EQ(std::u16string(c.lpszUrlPath, c.dwUrlPathLength), row.path);
    EXPECT_EQ(std::u16string(c.lpszExtraInfo, c.dwExtraInfoLength), row.extra);
    EXPECT_EQ(std::u16string(c.lpszUserName, c.dwUserNameLength), row.user);
    EXPECT_GE(c.lpszUrlPath, url.c_str());
    EXPECT_LE(c.lpszUrlPath + c.dwUrlPathLength, url.c_str() + url.size());
  }
}

TEST(WinInetCrackUrl, RefusesMalformedUrlsAndSmallBuffers) {
  const struct {
    const char16_t* url;
    DWORD error;
  } rows[] = {{u"updates.example.test/list", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
              {u"http://h:99999/", ERROR_INTERNET_INVALID_URL},
              {u"http://h:8x/", ERROR_INTERNET_INVALID_URL},
              {u"http:///path", ERROR_INTERNET_INVALID_URL},
              {u"http://", ERROR_INTERNET_INVALID_URL},
              {u"http://[::1]x/", ERROR_INTERNET_INVALID_URL},
              {u"http:h/path", ERROR_INTERNET_INVALID_URL},
              {u"http://h/a b", ERROR_INTERNET_INVALID_URL}};
  for (const auto& row : rows) {
    URL_COMPONENTSW c{};
    c.dwStructSize = sizeof c;
    c.dwHostNameLength = 1;
    EXPECT_FALSE(InternetCrackUrlW(row.url, 0, 0, &c)) << halcy::Utf16ToUtf8(row.url);
    EXPECT_EQ(GetLastError(), row.error) << halcy::Utf16ToUtf8(row.url);
  }
  char16_t host[4];
  URL_COMPONENTSW c{};
  c.dwStructSize = sizeof c;
  c.lpszHostName = host;
  c.dwHostNameLength = 4;
  EXPECT_FALSE(InternetCrackUrlW(u"http://abcd/", 0, 0, &c));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(c.dwHostNameLength, 5u);
  c.dwHostNameLength = 4;
  ASSERT_TRUE(InternetCrackUrlW(u"http://abc/ignored", 10, 0, &c));  // "http://abc"
  EXPECT_EQ(std::u16string(host), u"abc");
}

}  // namespace

namespace {

TEST(WinInetErrors, CallsOutOfOrderOrOnTheWrongHandleAreRefused) {
  HINTERNET root =
      InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  HINTERNET connect = InternetConnectW(root, u"updates.example.test", 80, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request = HttpOpenRequestW(connect, u"POST", u"/echo", nullptr, nullptr, nullptr, 0, 0);
  ASSERT_NE(request, nullptr);
  DWORD n = 0;
  char byte = 'x';
  const struct {
    const char* what;
    std::function<bool()> call;
    DWORD error;
  } rows[] = {
      {"write before send-ex", [&] { return InternetWriteFile(request, &byte, 1, &n); },
       ERROR_INTERNET_INCORRECT_HANDLE_STATE},
      {"end before send-ex", [&] { return HttpEndRequestW(request, nullptr, 0, 0); },
       ERROR_INTERNET_INCORRECT_HANDLE_STATE},
      {"read before the reply", [&] { return InternetReadFile(request, &byte, 1, &n); },
       ERROR_INTERNET_INCORRECT_HANDLE_STATE},
      {"read on a connect handle", [&] { return InternetReadFile(connect, &byte, 1, &n); },
       ERROR_INTERNET_INCORRECT_HANDLE_TYPE},
      {"request on a root handle",
       [&] { return HttpOpenRequestW(root, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0); },
       ERROR_INTERNET_INCORRECT_HANDLE_TYPE},
      {"unknown verb",
       [&] { return HttpOpenRequestW(connect, u"PUT", u"/", nullptr, nullptr, nullptr, 0, 0); },
       ERROR_INVALID_PARAMETER},
      {"host with a slash",
       [&] {
         return InternetConnectW(root, u"a/b", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
       },
       ERROR_INTERNET_INVALID_URL},
      {"open-url on an asynchronous root",
       [&] { return InternetOpenUrlW(root, u"http://a.test/", nullptr, 0, 0, 0); },
       ERROR_INTERNET_INVALID_OPERATION},
  };
  for (const auto& row : rows) {
    SetLastError(0);
    EXPECT_FALSE(row.call()) << row.what;
    EXPECT_EQ(GetLastError(), row.error) << row.what;
  }
  // A body shorter than the announced total never goes out with a wrong Content-Length.
  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = 5;
  EXPECT_FALSE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
  ASSERT_TRUE(InternetWriteFile(request, "abc", 3, &n));
  EXPECT_FALSE(HttpEndRequestW(request, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_EQ(InternetSetStatusCallbackW(reinterpret_cast<HINTERNET>(0x10), nullptr),
            INTERNET_INVALID_STATUS_CALLBACK);
  for (HINTERNET h : {request, connect, root}) EXPECT_TRUE(InternetCloseHandle(h));
}

TEST(WinInetErrors, EveryDeclaredCodeHasItsOwnText) {
  const DWORD codes[] = {
      ERROR_INTERNET_OUT_OF_HANDLES,        ERROR_INTERNET_TIMEOUT,
      ERROR_INTERNET_INTERNAL_ERROR,        ERROR_INTERNET_INVALID_URL,
      ERROR_INTERNET_UNRECOGNIZED_SCHEME,   ERROR_INTERNET_NAME_NOT_RESOLVED,
      ERROR_INTERNET_INVALID_OPERATION,     ERROR_INTERNET_OPERATION_CANCELLED,
      ERROR_INTERNET_INCORRECT_HANDLE_TYPE, ERROR_INTERNET_INCORRECT_HANDLE_STATE,
      ERROR_INTERNET_CANNOT_CONNECT,        ERROR_INTERNET_CONNECTION_ABORTED,
      ERROR_INTERNET_CONNECTION_RESET,      ERROR_INTERNET_SECURITY_CHANNEL_ERROR,
      ERROR_HTTP_HEADER_NOT_FOUND,          ERROR_HTTP_INVALID_SERVER_RESPONSE};
  std::set<std::u16string> texts;
  for (DWORD code : codes) texts.insert(halcy::WinInetMessageText(code));
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(texts.count(u""), 0u);
  EXPECT_EQ(halcy::WinInetMessageText(12345), u"");
}

}  // namespace
