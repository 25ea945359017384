// WinINet on libcurl, against the loopback HTTP server (as origin and as proxy).
#include "platform/wininet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/strings.h"
#include "platform/win32.h"
#include "support/loopback_server.h"

// The call fails and sets exactly `error` as the last error.
#define EXPECT_REFUSED(call, error)     \
  do {                                  \
    SetLastError(0);                    \
    EXPECT_FALSE(call);                 \
    EXPECT_EQ(GetLastError(), (error)); \
  } while (false)

namespace {

using testing_support::LoopbackPattern;
using testing_support::LoopbackServer;
using testing_support::RecordedRequest;

constexpr char16_t kAgent[] = u"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98; kvt)";
constexpr char16_t kFormHeader[] = u"Content-Type: application/x-www-form-urlencoded";
constexpr char kBody[] = "sign_algorithm=rsa&comp_names=extsetup";

// What reached the server, as "method|host|port|path|query|type|length|agent|accept|body".
std::string Line(const RecordedRequest& r) {
  return r.method + "|" + r.host + "|" + r.port + "|" + r.path + "|" + r.query + "|" +
         r.content_type + "|" + r.content_length + "|" + r.user_agent + "|" + r.accept + "|" +
         r.body;
}

INTERNET_BUFFERSW FormBuffers(size_t total) {
  INTERNET_BUFFERSW b{sizeof b, nullptr, kFormHeader, DWORD(-1), 0, nullptr, 0, 0, 0, 0};
  b.dwBufferTotal = DWORD(total);
  return b;
}

size_t Count(const std::vector<DWORD>& statuses, DWORD status) {
  return std::count(statuses.begin(), statuses.end(), status);
}

// One asynchronous request the way the update client makes it, recording the notifications of
// its connect and request handles, each of which must come on a thread other than the test's;
// `hook` runs on each, with no lock held, before it is recorded.
class AsyncRequest {
 public:
  AsyncRequest(const char16_t* host, INTERNET_PORT port, const char16_t* path,
               const char16_t* verb = u"POST", DWORD access = INTERNET_OPEN_TYPE_PRECONFIG,
               std::function<void(HINTERNET, DWORD)> hook = {})
      : hook_(std::move(hook)) {
    root = InternetOpenW(kAgent, access, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(root, &Callback);
    auto context = reinterpret_cast<DWORD_PTR>(this);
    connect =
        InternetConnectW(root, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, context);
    const char16_t* accept[] = {u"*/*", nullptr};
    request = HttpOpenRequestW(connect, verb, path, nullptr, nullptr, accept, 0x84200000, context);
  }
  ~AsyncRequest() { Close(); }
  // Send-ex, write, end; each asynchronous step must report ERROR_IO_PENDING.
  void Begin(const std::string& body) {
    INTERNET_BUFFERSW buffers = FormBuffers(body.size());
    EXPECT_REFUSED(HttpSendRequestExW(request, &buffers, nullptr, 0, 0), ERROR_IO_PENDING);
    Statuses(request, INTERNET_STATUS_REQUEST_COMPLETE, 1);
    DWORD written = 0;
    ASSERT_TRUE(InternetWriteFile(request, body.data(), DWORD(body.size()), &written));
    ASSERT_EQ(written, body.size());
    EXPECT_REFUSED(HttpEndRequestW(request, nullptr, 0, 0), ERROR_IO_PENDING);
  }
  // Waits for the end step's completion; returns its result.
  INTERNET_ASYNC_RESULT Finish() {
    Statuses(request, INTERNET_STATUS_REQUEST_COMPLETE, 2);
    std::lock_guard<std::mutex> lock(mu_);
    return result_;
  }
  // Closes the request, the connection, the root; the object must outlive their notifications.
  void Close() {
    for (HINTERNET* h : {&request, &connect, &root}) {
      if (*h != nullptr && InternetCloseHandle(*h) && h != &root) ExpectClosedLast(*h);
      *h = nullptr;
    }
  }
  // HANDLE_CLOSING comes once and last; the handle is refused from then on.
  void ExpectClosedLast(HINTERNET h) {
    EXPECT_EQ(Statuses(h, INTERNET_STATUS_HANDLE_CLOSING, 1).back(),
              INTERNET_STATUS_HANDLE_CLOSING);
    EXPECT_EQ(Count(Statuses(h), INTERNET_STATUS_HANDLE_CLOSING), 1u);
    DWORD read = 0, byte = 0;
    EXPECT_REFUSED(InternetReadFile(h, &byte, 1, &read), ERROR_INVALID_HANDLE);
    EXPECT_REFUSED(InternetCloseHandle(h), ERROR_INVALID_HANDLE);
  }
  // The notifications of `h` once `count` of them have been `status` (up to 20 s); never empty.
  std::vector<DWORD> Statuses(HINTERNET h, DWORD status = 0, size_t count = 0) {
    std::unique_lock<std::mutex> lock(mu_);
    std::vector<DWORD>& statuses = statuses_[h];
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return Count(statuses, status) >= count; }));
    return statuses.empty() ? std::vector<DWORD>{0} : statuses;
  }

  HINTERNET root = nullptr;
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;

 private:
  static void Callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                       DWORD length) {
    auto* self = reinterpret_cast<AsyncRequest*>(context);
    if (self == nullptr) return;  // the root handle, opened without a context
    EXPECT_NE(std::this_thread::get_id(), self->test_thread_);
    if (self->hook_) self->hook_(handle, status);  // may call back into WinINet
    // Recorded and signalled under the lock: once a waiter sees the status, this call no
    // longer touches the object, which may then go away.
    std::lock_guard<std::mutex> lock(self->mu_);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && length == sizeof self->result_) {
      self->result_ = *static_cast<INTERNET_ASYNC_RESULT*>(info);
    }
    self->statuses_[handle].push_back(status);
    self->cv_.notify_all();
  }
  const std::function<void(HINTERNET, DWORD)> hook_;
  const std::thread::id test_thread_ = std::this_thread::get_id();
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<HINTERNET, std::vector<DWORD>> statuses_;
  INTERNET_ASYNC_RESULT result_{};
};

DWORD QueryNumber(HINTERNET request, DWORD level) {
  DWORD value = 0, length = sizeof value;
  EXPECT_TRUE(HttpQueryInfoW(request, level | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr));
  return value;
}

std::string ReadAll(HINTERNET file, DWORD piece) {
  std::string out;
  std::vector<char> buffer(piece);
  for (DWORD read = 0; InternetReadFile(file, buffer.data(), piece, &read) && read != 0;) {
    EXPECT_LE(read, piece);
    out.append(buffer.data(), read);
  }
  return out;
}

// Each test gets its own loopback server, named by the proxy environment.
class WinInetTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }
  LoopbackServer server_;
  testing_support::ScopedLoopbackProxy proxy_{server_};
};

// By name or IPv6 literal through the proxy (the default port left out of the target), straight
// to a no_proxy
// host, through the proxy by address, to a closed port; the reply read back as sent: no
// redirect followed, the body cut by the caller's buffer and at 16 MiB, a text query first
// asking for room.
TEST_F(WinInetTest, AsyncPostSendsExactRequestAndReadsTheReplyBack) {
  const std::string sent =
      "||application/x-www-form-urlencoded|38|" + halcy::Utf16ToUtf8(kAgent) + "|*/*|" + kBody;
  const DWORD kProxy = INTERNET_OPEN_TYPE_PRECONFIG;
  // Asked for: host, port, access, no_proxy, path; the server sees target ("host|port"); the
  // reply has status (0: the connection is refused), Location, body and Content-Length. The
  // server started for the last row is stopped again: nothing listens on its port.
  using Exchange = std::tuple<const char16_t*, int, DWORD, const char*, const char16_t*,
                              std::string, DWORD, std::string, std::string, DWORD>;
  for (const auto& [host, port, access, no_proxy, path16, target, status, location, body,
                    content_length] : std::vector<Exchange>{
           {u"updates.example.test", 80, kProxy, "", u"/echo", "updates.example.test|", 200, "",
            "echo:" + std::string(kBody), 43},
           {u"updates.example.test", 0, kProxy, "",
            u"/redirect-to/http%3A%2F%2Fnext.example.test%2Fx", "updates.example.test|", 302,
            "http://next.example.test/x", "", 0},
           {u"::1", 8123, kProxy, "", u"/status/404", "::1|8123", 404, "", "status 404", 10},
           {u"127.0.0.1", server_.port(), kProxy, "127.0.0.1", u"/bytes/100", "127.0.0.1|", 200, "",
            LoopbackPattern(100), 100},
           {u"127.0.0.1", server_.port(), kProxy, "", u"/bytes/16777316",
            "127.0.0.1|" + std::to_string(server_.port()), 200, "", LoopbackPattern(16 << 20),
            16777316},
           {u"127.0.0.1", LoopbackServer().port(), INTERNET_OPEN_TYPE_DIRECT, "", u"/echo", "", 0,
            "", "", 0},
       }) {
    std::string path = halcy::Utf16ToUtf8(path16);
    SCOPED_TRACE(target + path + " " + no_proxy);
    testing_support::ScopedEnv no_proxy_env("no_proxy", no_proxy);
    size_t before = server_.Requests().size();
    AsyncRequest r(host, INTERNET_PORT(port), path16, u"POST", access);
    EXPECT_REFUSED(InternetOpenUrlW(r.root, u"http://a.test/", nullptr, 0, 0, 0),
                   ERROR_INTERNET_INVALID_OPERATION);  // only on a synchronous root
    ASSERT_NO_FATAL_FAILURE(r.Begin(kBody));
    INTERNET_ASYNC_RESULT done = r.Finish();
    EXPECT_EQ(done.dwResult, DWORD_PTR{status != 0});
    EXPECT_EQ(done.dwError, status != 0 ? 0 : ERROR_INTERNET_CANNOT_CONNECT);
    std::vector<RecordedRequest> requests = server_.Requests();
    ASSERT_EQ(requests.size(), before + (status != 0));  // and no redirect followed
    char16_t small[2];
    DWORD length = sizeof small;
    if (status == 0) {  // no status to tell yet, and a text for the error
      EXPECT_REFUSED(HttpQueryInfoW(r.request, HTTP_QUERY_STATUS_CODE, small, &length, nullptr),
                     ERROR_INTERNET_INCORRECT_HANDLE_STATE);
      EXPECT_FALSE(halcy::WinInetMessageText(done.dwError).empty());
      continue;
    }
    EXPECT_EQ(Line(requests.back()), "POST|" + target + "|" + path + sent);
    EXPECT_EQ(QueryNumber(r.request, HTTP_QUERY_STATUS_CODE), status);
    EXPECT_EQ(QueryNumber(r.request, HTTP_QUERY_CONTENT_LENGTH), content_length);
    std::vector<char16_t> text(4096);
    EXPECT_REFUSED(HttpQueryInfoW(r.request, HTTP_QUERY_LOCATION, small, &length, nullptr),
                   location.empty() ? ERROR_HTTP_HEADER_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
    if (!location.empty()) {
      EXPECT_EQ(length, (location.size() + 1) * 2);  // exactly enough room, asked again
      ASSERT_TRUE(HttpQueryInfoW(r.request, HTTP_QUERY_LOCATION, text.data(), &length, nullptr));
      EXPECT_EQ(halcy::Utf16ToUtf8({text.data(), length / 2}), location);
    }
    length = 4096 * 2;
    ASSERT_TRUE(HttpQueryInfoW(r.request, HTTP_QUERY_RAW_HEADERS_CRLF, text.data(), &length, 0));
    std::string headers = halcy::Utf16ToUtf8({text.data(), length / 2});
    EXPECT_EQ(headers.rfind("HTTP/1.", 0), 0u) << headers;
    EXPECT_EQ(headers.find("Location: " + location + "\r\n") != std::string::npos,
              !location.empty());
    std::string got = ReadAll(r.request, body.size() > 1000 ? 1 << 20 : 7);
    EXPECT_TRUE(got == body) << got.size() << " bytes";
    HINTERNET request = r.request;
    r.Close();
    EXPECT_EQ(r.Statuses(request).size(), 3u);  // send-ex, end, closing
  }
}

TEST_F(WinInetTest, ClosingDuringAStalledReplyAbandonsIt) {
  for (bool from_callback : {false, true}) {
    SCOPED_TRACE(from_callback);
    size_t before = server_.Requests().size();
    // From inside its own send-ex notification, or from the test once the server stalls.
    auto close_in_callback = [from_callback](HINTERNET h, DWORD status) {
      if (!from_callback || status != INTERNET_STATUS_REQUEST_COMPLETE) return;
      EXPECT_FALSE(HttpEndRequestW(h, nullptr, 0, 0));
      EXPECT_TRUE(InternetCloseHandle(h));
    };
    AsyncRequest r(u"updates.example.test", 80, u"/stall/1000/10", u"GET",
                   INTERNET_OPEN_TYPE_PRECONFIG, close_in_callback);
    HINTERNET request = r.request;
    if (from_callback) {
      INTERNET_BUFFERSW buffers = FormBuffers(0);
      ASSERT_FALSE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
      r.request = nullptr;
      r.ExpectClosedLast(request);
    } else {
      ASSERT_NO_FATAL_FAILURE(r.Begin(""));
      ASSERT_TRUE(server_.WaitForRequests(before + 1));
      r.Close();
    }
    EXPECT_EQ(Count(r.Statuses(request), INTERNET_STATUS_REQUEST_COMPLETE), 1u);
  }
}

// Open-url and send-ex / write / end on a root without INTERNET_FLAG_ASYNC return with the reply;
// calls out of order or on the wrong handle are refused.
TEST_F(WinInetTest, SynchronousRootWorksOnTheCallersThread) {
  HINTERNET root =
      InternetOpenW(u"InetURL:/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  for (auto [url, status, body] :
       {std::tuple{u"http://updates.example.test/bytes/30?x=1", 200u, LoopbackPattern(30)},
        {u"http://updates.example.test/missing", 404u, "no route"}}) {
    HINTERNET file = InternetOpenUrlW(root, url, nullptr, 0, INTERNET_FLAG_RELOAD, 0);
    ASSERT_NE(file, nullptr) << GetLastError();
    EXPECT_EQ(QueryNumber(file, HTTP_QUERY_STATUS_CODE), status);
    EXPECT_EQ(ReadAll(file, 8), body);
    EXPECT_TRUE(InternetCloseHandle(file));
  }
  for (const char16_t* url : {u"ftp://updates.example.test/x", u"file:///etc/hostname",
                              u"gopher://updates.example.test/"}) {
    EXPECT_REFUSED(InternetOpenUrlW(root, url, nullptr, 0, INTERNET_FLAG_RELOAD, 0),
                   ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  }
  HINTERNET connect = InternetConnectW(root, u"updates.example.test", 80, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
  HINTERNET request = HttpOpenRequestW(connect, u"POST", u"/echo", nullptr, nullptr, nullptr, 0, 0);
  HINTERNET made_up = reinterpret_cast<HINTERNET>(0x1234);
  DWORD n = 0, byte = 'x';
  const DWORD kState = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  const DWORD kType = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
  EXPECT_REFUSED(InternetWriteFile(request, &byte, 1, &n), kState);  // before send-ex
  EXPECT_REFUSED(HttpEndRequestW(request, nullptr, 0, 0), kState);
  EXPECT_REFUSED(InternetReadFile(request, &byte, 1, &n), kState);  // before the reply
  EXPECT_REFUSED(InternetReadFile(connect, &byte, 1, &n), kType);
  EXPECT_REFUSED(HttpOpenRequestW(root, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0), kType);
  EXPECT_EQ(InternetSetStatusCallbackW(made_up, nullptr), INTERNET_INVALID_STATUS_CALLBACK);
  EXPECT_REFUSED(HttpOpenRequestW(connect, u"PUT", u"/", nullptr, nullptr, nullptr, 0, 0),
                 ERROR_INVALID_PARAMETER);
  EXPECT_REFUSED(InternetConnectW(root, u"a/:", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
                 ERROR_INTERNET_INVALID_URL);
  // A body shorter than the announced total never goes out with a wrong Content-Length.
  INTERNET_BUFFERSW buffers = FormBuffers(5);
  EXPECT_TRUE(HttpSendRequestExW(request, &buffers, nullptr, 0, 0));
  ASSERT_TRUE(InternetWriteFile(request, "abc", 3, &n));
  EXPECT_REFUSED(HttpEndRequestW(request, nullptr, 0, 0), kState);
  // A second request goes out whole; the reply is there when end returns.
  HINTERNET whole = HttpOpenRequestW(connect, u"POST", u"/echo", nullptr, nullptr, nullptr, 0, 0);
  buffers = FormBuffers(3);
  ASSERT_TRUE(HttpSendRequestExW(whole, &buffers, nullptr, 0, 0));
  ASSERT_TRUE(InternetWriteFile(whole, "k=v", 3, &n));
  ASSERT_TRUE(HttpEndRequestW(whole, nullptr, 0, 0));
  EXPECT_EQ(ReadAll(whole, 16), "echo:k=v");
  std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);  // none for the refused schemes or the short body
  EXPECT_EQ(Line(requests[0]),
            "GET|updates.example.test||/bytes/30|x=1|||InetURL:/1.0|" + requests[0].accept + "|");
  EXPECT_EQ(requests[2].accept, "");  // no accept types: no Accept header
  for (HINTERNET h : {whole, request, connect, root}) EXPECT_TRUE(InternetCloseHandle(h));
}

// The activity the host waits on: busy until the last notification of an asynchronous request
// has been delivered (held here inside the end step's completion), and while a synchronous
// transfer runs on some thread; every step counts as started.
TEST_F(WinInetTest, ActivityLastsUntilTheLastNotificationIsDelivered) {
  ASSERT_TRUE(halcy::WaitForInternetIdle(20000));
  const uint64_t started = halcy::GetInternetActivity().started;
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
  int completes = 0;  // the worker's only
  auto hold_second_completion = [&](HINTERNET, DWORD status) {
    if (status != INTERNET_STATUS_REQUEST_COMPLETE || ++completes != 2) return;
    std::unique_lock<std::mutex> lock(m);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  {
    AsyncRequest r(u"updates.example.test", 80, u"/bytes/10", u"GET", INTERNET_OPEN_TYPE_PRECONFIG,
                   hold_second_completion);
    ASSERT_NO_FATAL_FAILURE(r.Begin(""));
    {
      std::unique_lock<std::mutex> lock(m);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return inside; }));
    }
    EXPECT_TRUE(halcy::GetInternetActivity().busy);
    EXPECT_FALSE(halcy::WaitForInternetIdle(20)) << "a completion is still being delivered";
    EXPECT_GE(halcy::GetInternetActivity().started, started + 2) << "send-ex and end";
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
    EXPECT_TRUE(r.Finish().dwResult);
  }
  EXPECT_TRUE(halcy::WaitForInternetIdle(20000));
  EXPECT_FALSE(halcy::GetInternetActivity().busy);
  // A synchronous transfer, answered after 3 s, is busy from its request on.
  const size_t before = server_.Requests().size();
  std::thread sync([] {
    HINTERNET root = InternetOpenW(u"sync", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET file = InternetOpenUrlW(root, u"http://updates.example.test/slow/3000/none", nullptr,
                                      0, INTERNET_FLAG_RELOAD, 0);
    EXPECT_NE(file, nullptr);
    if (file) InternetCloseHandle(file);
    InternetCloseHandle(root);
  });
  ASSERT_TRUE(server_.WaitForRequests(before + 1));
  EXPECT_TRUE(halcy::GetInternetActivity().busy);
  sync.join();
  EXPECT_TRUE(halcy::WaitForInternetIdle(20000));
}

// Parts expected as "scheme|port|host|path|extra|user", each pointing into the URL.
TEST(WinInetCrackUrl, SplitsIntoPointersIntoTheUrlAndRefusesMalformedOnes) {
  for (auto [url_text, expected] : {
           std::pair{u"http://updates.example.test/list", u"3|80|updates.example.test|/list||"},
           {u"HTTPS://a.example.test:8443/p/q?x=1#f", u"4|8443|a.example.test|/p/q|?x=1#f|"},
           {u"https://a.example.test", u"4|443|a.example.test|||"},
           {u"http://h.example.test?only=query", u"3|80|h.example.test||?only=query|"},
           {u"http://me:pw@h.example.test:81/", u"3|81|h.example.test|/||me"},
           {u"http://[::1]:8080/v6", u"3|8080|[::1]|/v6||"},
           {u"http://[::1]/v6", u"3|80|[::1]|/v6||"},
           {u"ftp://h.example.test/x", u"-1|0|h.example.test|/x||"},
       }) {
    std::u16string url = url_text;
    URL_COMPONENTSW c{};
    c.dwStructSize = sizeof c;
    c.dwSchemeLength = c.dwHostNameLength = c.dwUrlPathLength = c.dwExtraInfoLength = 1;
    c.dwUserNameLength = 1;
    ASSERT_TRUE(InternetCrackUrlW(url.c_str(), 0, 0, &c));
    EXPECT_EQ(c.lpszScheme, url.c_str());
    auto part = [&](const char16_t* text, DWORD size) {
      EXPECT_TRUE(text >= url.c_str() && text + size <= url.c_str() + url.size());
      return u"|" + std::u16string(text, size);
    };
    EXPECT_EQ(
        halcy::Utf8ToUtf16(std::to_string(c.nScheme) + "|" + std::to_string(c.nPort)) +
            part(c.lpszHostName, c.dwHostNameLength) + part(c.lpszUrlPath, c.dwUrlPathLength) +
            part(c.lpszExtraInfo, c.dwExtraInfoLength) + part(c.lpszUserName, c.dwUserNameLength),
        expected);
  }
  URL_COMPONENTSW c{};
  c.dwStructSize = sizeof c;
  c.dwHostNameLength = 1;
  EXPECT_REFUSED(InternetCrackUrlW(u"updates.example.test/list", 0, 0, &c),
                 ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  for (const char16_t* url :
       {u"http://h:99999/", u"http://h:8x/", u"http:///path", u"http://", u"http://[::1]x/",
        u"http:h/path", u"http://h/a b", u"http://h:4294967297/"}) {
    EXPECT_REFUSED(InternetCrackUrlW(url, 0, 0, &c), ERROR_INTERNET_INVALID_URL);
  }
  char16_t host[4];
  c.lpszHostName = host;
  c.dwHostNameLength = 4;
  EXPECT_REFUSED(InternetCrackUrlW(u"http://abcd/", 0, 0, &c), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(c.dwHostNameLength, 5u);
  c.dwHostNameLength = 4;
  ASSERT_TRUE(InternetCrackUrlW(u"http://abc/ignored", 10, 0, &c));  // "http://abc"
  EXPECT_EQ(std::u16string(host), u"abc");
}

}  // namespace
