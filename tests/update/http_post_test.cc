// The update code's HTTP client against a real server on 127.0.0.1, reached through the proxy
// environment: what goes on the wire, what the listener gets, on which thread, and how
// redirects and failures end.

#include "update/http_post.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com_object.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"

namespace {

namespace ts = testing_support;
using Logic::CheckUrlReachable;
using Logic::PostFormToServer;

struct Reply {
  LONG id;
  std::u16string text;
  DWORD thread;
};

class Listener : public halcy::ComObjectRoot, public Logic::IHttpPostListener {
 public:
  HALCY_BEGIN_INTERFACES(Listener)
  HALCY_INTERFACE(Listener, Logic::IHttpPostListener)
  HALCY_END_INTERFACES()

  void OnHttpReply(LONG request_id, const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back({request_id, text, GetCurrentThreadId()});
  }
  std::vector<Reply> Replies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
  }

 private:
  std::mutex mutex_;
  std::vector<Reply> replies_;  // Guarded by mutex_
};

std::u16string U(const std::string& s) { return halcy::Utf8ToUtf16(s); }

class HttpPostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }

  // Posts and waits until the request has been torn down (its context deleted).
  LONG PostAndFinish(const std::string& url, const std::string& body) {
    const size_t finished = Count(u"extlist: before delete reqContext");
    LONG id = PostFormToServer(U(url), body, listener_.Get());
    EXPECT_GT(id, 0);
    EXPECT_TRUE(ts::WaitUntil([&] {
      return Count(u"extlist: before delete reqContext") > finished;
    })) << "the post did not finish";
    return id;
  }
  size_t Count(const std::u16string& text) {
    size_t n = 0;
    for (const ts::LogLine& line : log_.Lines()) n += line.text == text;
    return n;
  }
  bool Logged(const std::u16string& prefix) {
    for (const ts::LogLine& line : log_.Lines()) {
      if (line.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  ts::LoopbackServer server_;
  ts::ScopedLoopbackProxy proxy_{server_};
  ts::LogCapture log_;
  ComPtr<Listener> listener_ = halcy::MakeComObject<Listener>();
};

TEST_F(HttpPostTest, FormBodyGoesToPort80AndThePathWithoutQueryAndTheReplyComesOnTheWorker) {
  const std::string body = ts::LoopbackPattern(55);
  LONG id = PostAndFinish("http://Updates.Example.test:8080/echo?x=1&y=2", body);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const ts::RecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.host, "updates.example.test");
  EXPECT_TRUE(r.port.empty() || r.port == "80") << r.port;
  EXPECT_EQ(r.path, "/echo");
  EXPECT_EQ(r.query, "");
  EXPECT_EQ(r.content_type, "application/x-www-form-urlencoded");
  EXPECT_EQ(r.content_length, "55");
  EXPECT_EQ(r.user_agent, "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98; kvt)");
  EXPECT_EQ(r.accept, "*/*");
  EXPECT_EQ(r.body, body);

  auto replies = listener_->Replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, id);
  EXPECT_EQ(replies[0].text, U("echo:" + body));
  EXPECT_NE(replies[0].thread, GetCurrentThreadId());
  EXPECT_EQ(Count(u"extlist:receive data result:1"), 1u);
  // The request handle was closed through its guard, so its closing notification came.
  size_t closings = 0;
  for (const ts::LogLine& line : log_.LinesWithTag(u"debugger;")) {
    closings += line.text.find(u"Status: Handle Closing") != std::u16string::npos;
  }
  EXPECT_EQ(closings, 1u);
}

// What reaches the listener for each kind of reply.
TEST_F(HttpPostTest, RepliesAreDeliveredCutOrDroppedByTheirContent) {
  struct Case {
    const char* path;
    std::u16string delivered;  // empty: nothing delivered
  } cases[] = {
      {"/status/404", u"status 404"},  // an error status is read like a 200
      {"/status/500", u"status 500"},
      {"/bytes/4096", U(ts::LoopbackPattern(4096))},
      {"/bytes/10000", U(ts::LoopbackPattern(4096))},  // cut at the buffer
      {"/empty", u""},                                 // no bytes, no call
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    size_t before = listener_->Replies().size();
    PostAndFinish(std::string("http://updates.example.test") + c.path, "q=1");
    auto replies = listener_->Replies();
    if (c.delivered.empty()) {
      EXPECT_EQ(replies.size(), before);
    } else {
      ASSERT_EQ(replies.size(), before + 1);
      EXPECT_EQ(replies.back().text, c.delivered);
    }
  }
}

TEST_F(HttpPostTest, A302RestartsThePostAtTheLocationWithTheSameBodyAndIdentifier) {
  LONG id = PostAndFinish(
      "http://first.example.test/redirect-to/http%3A%2F%2Fsecond.example.test%2Fecho", "k=v");
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].host, "first.example.test");
  EXPECT_EQ(requests[1].host, "second.example.test");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, "/echo");
  EXPECT_EQ(requests[1].body, "k=v");
  auto replies = listener_->Replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, id);
  EXPECT_EQ(replies[0].text, u"echo:k=v");
  EXPECT_EQ(Count(u"extlist:redirect occured"), 1u);
}

// Posts that end without a delivery, each with its log line.
TEST_F(HttpPostTest, RefusedPostsDeliverNothingAndSayWhy) {
  struct Case {
    const char* url;
    size_t body_size;
    size_t requests;  // reaching the server
    std::u16string logged;
  } cases[] = {
      {"http://loop.example.test/loop", 3, Logic::kMaxPostRedirects + 1,
       u"extlist:redirect limit of 20 reached"},
      {"http://r.example.test/redirect-to/ftp%3A%2F%2Fr.example.test%2Fecho", 3, 1,
       u"extlist:redirect to a non-http address refused: ftp://r.example.test/echo"},
      {"http://r.example.test/redirect-to/file%3A%2F%2F%2Fetc%2Fpasswd", 3, 1,
       u"extlist:redirect to a non-http address refused: file:///etc/passwd"},
      {"http://big.example.test/echo", 4097, 0, u"updating extlist failed 8(ReadFile)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    size_t before = server_.Requests().size();
    PostAndFinish(c.url, ts::LoopbackPattern(c.body_size));
    EXPECT_EQ(server_.Requests().size() - before, c.requests);
    EXPECT_TRUE(Logged(c.logged));
  }
  EXPECT_TRUE(listener_->Replies().empty());
}

TEST_F(HttpPostTest, AFailedConnectionIsReportedWithTheWinInetText) {
  ts::ScopedEnv dead_proxy("http_proxy", "http://127.0.0.1:1");
  PostAndFinish("http://down.example.test/echo", "a=b");
  EXPECT_TRUE(Logged(u"updating extlist failed 12029(HttpEndRequest)"));
  EXPECT_TRUE(Logged(u"updating extlist failed reason: "));
  EXPECT_TRUE(listener_->Replies().empty());
}

// Posts from several threads at once: identifiers are handed out once each, without gaps, and
// every reply reaches the listener once with the identifier of its own post.
TEST_F(HttpPostTest, PostsFromSeveralThreadsEachGetTheirOwnIdentifierAndReply) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  const size_t finished = Count(u"extlist: before delete reqContext");
  std::mutex mutex;
  std::map<LONG, std::string> bodies;  // by identifier
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string body = "t=" + std::to_string(t) + "&i=" + std::to_string(i);
        LONG id = PostFormToServer(u"http://many.example.test/echo", body, listener_.Get());
        std::lock_guard<std::mutex> lock(mutex);
        bodies[id] = body;
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(bodies.size(), size_t{kThreads * kEach});
  EXPECT_EQ(bodies.rbegin()->first - bodies.begin()->first, kThreads * kEach - 1);
  ASSERT_TRUE(ts::WaitUntil(
      [&] { return Count(u"extlist: before delete reqContext") == finished + kThreads * kEach; }));
  auto replies = listener_->Replies();
  ASSERT_EQ(replies.size(), bodies.size());
  for (const Reply& r : replies) EXPECT_EQ(r.text, U("echo:" + bodies[r.id])) << r.id;
}

TEST_F(HttpPostTest, TheProbePrefixesABareHostAndAnswersWhetherItOpened) {
  EXPECT_TRUE(CheckUrlReachable(u"WWW.Probe.Example.TEST/status/404"));
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].host, "www.probe.example.test");
  EXPECT_EQ(requests[0].path, "/status/404");
  EXPECT_EQ(requests[0].user_agent, "InetURL:/1.0");

  ts::ScopedEnv dead_proxy("http_proxy", "http://127.0.0.1:1");
  EXPECT_FALSE(CheckUrlReachable(u"http://www.probe.example.test/"));
}

}  // namespace
