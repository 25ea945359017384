// IPC::CChannelProxy: routing by id, listener registration, connection and error reports,
// sends before the connection and after Close. Two proxies in one process talk over a pipe.
#include "ipc/ipc_channel_proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ipc/ipc_host_test.h"
#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_test_util.h"
#include "support/log_capture.h"
#include "thread/thread_service.h"

namespace IPC {
namespace {

using base::RefPtr;
using ipc_test::RecordingListener;
using Thread::kThreadExtensionManager;
using Thread::kThreadIPC;
using Thread::kThreadUI;

CMessage* NewMessage(uint32_t type, uint32_t routing, int32_t value) {
  auto* m = new CMessage(false, type);
  m->set_routing_id(routing);
  m->WriteInt(value);
  return m;
}

// Counts its own destructions, to see that a message was dropped rather than leaked.
class CountedMessage : public CMessage {
 public:
  explicit CountedMessage(std::atomic<int>* destroyed) : CMessage(false, 0x99), dead_(destroyed) {}
  ~CountedMessage() override { ++*dead_; }

 private:
  std::atomic<int>* dead_;
};

class ChannelProxyTest : public ipc_test::IpcHostTest {
 protected:
  void TearDown() override {
    server_.reset();
    client_.reset();
    CheckNothingLeft();
  }
  RefPtr<RecordingListener> Listener(int kind) {
    return RefPtr<RecordingListener>(new RecordingListener(kind ? host_.Loop(kind) : nullptr));
  }
  void MakeServer() { server_ = std::make_unique<CChannelProxy>(id_, 0, host_.Loop(kThreadIPC)); }
  void MakeClient() { client_ = std::make_unique<CChannelProxy>(id_, 1, host_.Loop(kThreadIPC)); }

  std::unique_ptr<CChannelProxy> server_;
  std::unique_ptr<CChannelProxy> client_;
};

TEST_F(ChannelProxyTest, RoutingIdSelectsTheListenersAndOnlyThem) {
  MakeServer();
  auto broadcast = Listener(kThreadUI);
  auto routed = Listener(kThreadExtensionManager);
  auto no_loop = Listener(0);
  server_->AddListener(broadcast.get(), 0);
  server_->AddListener(broadcast.get(), 0);  // kept once
  server_->AddListener(routed.get(), 5);
  server_->AddListener(routed.get(), 5);  // kept once
  server_->AddListener(no_loop.get(), 5);
  server_->AddListener(no_loop.get(), 0);
  MakeClient();
  client_->Send(NewMessage(0x07000001, 0, 1));
  client_->Send(NewMessage(0x07000002, 5, 2));
  client_->Send(NewMessage(0x07000003, 7, 3));  // nobody listens on 7
  client_->Send(NewMessage(0x07000004, 0, 4));
  ASSERT_TRUE(broadcast->WaitForMessages(2));
  ASSERT_TRUE(routed->WaitForMessages(1));
  ASSERT_TRUE(host_.WaitIdle());

  auto b = broadcast->messages();
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].type, 0x07000001u);
  EXPECT_EQ(b[1].type, 0x07000004u);
  EXPECT_EQ(b[0].thread_id, host_.ThreadId(kThreadUI));
  auto r = routed->messages();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, 0x07000002u);
  EXPECT_EQ(r[0].thread_id, host_.ThreadId(kThreadExtensionManager));
  // A listener that names no loop hears nothing at all.
  EXPECT_TRUE(no_loop->messages().empty());
  EXPECT_TRUE(no_loop->connected().empty());
}

TEST_F(ChannelProxyTest, RemovedListenerHearsNoMore) {
  MakeServer();
  auto listener = Listener(kThreadUI);
  server_->AddListener(listener.get(), 9);
  MakeClient();
  client_->Send(NewMessage(1, 9, 1));
  ASSERT_TRUE(listener->WaitForMessages(1));
  server_->RemoveListener(listener.get(), 9);
  ASSERT_TRUE(host_.WaitIdle());
  client_->Send(NewMessage(2, 9, 2));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(listener->messages().size(), 1u);
}

TEST_F(ChannelProxyTest, ConnectionIsReportedOnceAndErrorsToEveryListener) {
  MakeServer();
  auto first = Listener(kThreadUI);
  auto second = Listener(kThreadExtensionManager);
  server_->AddListener(first.get(), 0);
  server_->AddListener(second.get(), 0);
  MakeClient();
  ASSERT_TRUE(ipc_test::PollUntil(
      [&] { return first->connected().size() + second->connected().size() > 0; }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(first->connected().size() + second->connected().size(), 1u);
  const auto pids = first->connected().empty() ? second->connected() : first->connected();
  EXPECT_EQ(pids, (std::vector<int32_t>{getpid()}));

  client_->Close();  // the server's read ends
  ASSERT_TRUE(first->WaitForErrors(1));
  ASSERT_TRUE(second->WaitForErrors(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(first->errors(), 1);
  EXPECT_EQ(second->errors(), 1);
}

TEST_F(ChannelProxyTest, SendsBeforeTheClientArriveAfterTheHelloInOrder) {
  MakeServer();
  for (int i = 0; i < 3; ++i) server_->Send(NewMessage(0x07000010 + i, 0, i));
  ASSERT_TRUE(host_.WaitIdle());
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  std::string expected = ipc_test::WireBytes(CMsgHello(getpid()));
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<CMessage> m(NewMessage(0x07000010 + i, 0, i));
    expected += ipc_test::WireBytes(*m);
  }
  EXPECT_EQ(ipc_test::RawReadExactly(fd, expected.size()), expected);
}

TEST_F(ChannelProxyTest, BurstsFromSeveralThreadsArriveWholeAndInEachSendersOrder) {
  constexpr int kSenders = 3;
  constexpr int kPerSender = 2000;
  auto heard = Listener(kThreadUI);
  MakeServer();
  // The routing id tells the sender apart; the value is its sequence number.
  for (int s = 1; s <= kSenders; ++s) server_->AddListener(heard.get(), s);
  MakeClient();
  std::vector<std::thread> threads;
  for (int s = 1; s <= kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i) client_->Send(NewMessage(0x07000020, s, i));
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(heard->WaitForMessages(kSenders * kPerSender));
  ASSERT_TRUE(host_.WaitIdle());
  std::vector<int32_t> next(kSenders + 1, 0);
  for (const auto& m : heard->messages()) {
    ASSERT_TRUE(m.routing_id >= 1 && m.routing_id <= kSenders);
    ASSERT_EQ(m.payload.size(), 4u);
    int32_t value;
    std::memcpy(&value, m.payload.data(), sizeof(value));
    ASSERT_EQ(value, next[m.routing_id]) << "sender " << m.routing_id;
    ++next[m.routing_id];
  }
  for (int s = 1; s <= kSenders; ++s) EXPECT_EQ(next[s], kPerSender);
}

TEST_F(ChannelProxyTest, SendAfterCloseIsDestroyedUnwritten) {
  MakeServer();
  int fd = Track(ipc_test::RawConnect(id_));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ipc_test::RawReadExactly(fd, 32).size(), 32u);  // the hello
  std::atomic<int> destroyed{0};
  server_->Close();
  host_.RunOn(kThreadUI, [&] { EXPECT_TRUE(server_->Send(new CountedMessage(&destroyed))); });
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(destroyed.load(), 1);
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // end of stream, nothing after the hello
}

TEST_F(ChannelProxyTest, ClientWithoutAServerReportsAnErrorOnSend) {
  testing_support::LogCapture log;
  MakeClient();  // nobody listens under the id
  EXPECT_TRUE(log.Contains(u"Create Channel failed\n"));
  auto listener = Listener(kThreadUI);
  client_->AddListener(listener.get(), 0);
  client_->Send(NewMessage(1, 0, 1));
  ASSERT_TRUE(listener->WaitForErrors(1));
}

// A filter that takes every message of one type.
class TypeFilter : public CChannelProxy::CMessageFilter {
 public:
  explicit TypeFilter(uint32_t type) : type_(type) {}
  bool OnMessageReceived(const CMessage& message) override {
    if (message.type() != type_) return false;
    ++taken;
    return true;
  }
  void OnFilterAdded(CChannel*) override { ++added; }
  std::atomic<int> taken{0};
  std::atomic<int> added{0};

 private:
  uint32_t type_;
};

TEST_F(ChannelProxyTest, FilterSeesMessagesBeforeListeners) {
  MakeServer();
  RefPtr<TypeFilter> filter(new TypeFilter(0x42));
  server_->AddFilter(filter.get());
  auto listener = Listener(kThreadUI);
  server_->AddListener(listener.get(), 0);
  MakeClient();
  client_->Send(NewMessage(0x42, 0, 1));
  client_->Send(NewMessage(0x43, 0, 2));
  ASSERT_TRUE(listener->WaitForMessages(1));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(filter->taken.load(), 1);
  EXPECT_EQ(filter->added.load(), 1);
  ASSERT_EQ(listener->messages().size(), 1u);
  EXPECT_EQ(listener->messages()[0].type, 0x43u);
}

}  // namespace
}  // namespace IPC
