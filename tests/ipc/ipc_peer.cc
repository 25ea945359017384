// ipc_peer <channel id>: the other process of the IPC tests (see ipc_peer_protocol.h). It runs
// the browser's threads through the host services, listens on the extension-manager thread and
// ends once the channel fails.
#include <signal.h>

#include <atomic>
#include <future>
#include <memory>

#include "host/host_services.h"
#include "host/thread_service.h"
#include "ipc/ipc_channel_proxy.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_peer_protocol.h"
#include "platform/strings.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace {

class CPeer : public IPC::CChannel::CListener {
 public:
  explicit CPeer(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

  void OnMessageReceived(const IPC::CMessage& m) override {
    if (m.type() == ipc_peer::kCrash) raise(SIGKILL);
    if (!m.is_sync()) {
      proxy->Send(new IPC::CMessage(m));
      return;
    }
    auto* reply = new IPC::CMessage(true, m.type());
    reply->MakeReplyTo(m.serial_number(), false);
    reply->WriteBytes(m.data() + m.header_size(), m.payload_size());
    proxy->Send(reply);
  }
  void OnChannelConnected(int32_t) override {}
  void OnChannelError() override {
    if (!failed_.exchange(true)) failure.set_value();
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }
  std::unique_ptr<IPC::CChannelProxy> proxy;  // set before the first message can arrive
  std::promise<void> failure;

 private:
  ~CPeer() override = default;

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  std::atomic<bool> failed_{false};
};

}  // namespace

int main(int argc, char** argv) {
  host::CHostServices services;
  if (argc != 2 || !services.Start()) return 2;
  Thread::CMessageLoop* ipc_loop = nullptr;
  Thread::CMessageLoop* listener_loop = nullptr;
  services.thread_service()->GetMessageLoop(Thread::kThreadIPC, &ipc_loop);
  services.thread_service()->GetMessageLoop(Thread::kThreadExtensionManager, &listener_loop);
  base::RefPtr<CPeer> peer(new CPeer(listener_loop));
  std::future<void> failed = peer->failure.get_future();
  // Made on the IPC thread with the listener in the same task: registered before the first read.
  std::promise<void> made;
  ipc_loop->PostTask(Thread::NewFuncTask([&] {
                       peer->proxy = std::make_unique<IPC::CChannelProxy>(
                           halcy::Utf8ToUtf16(argv[1]), 1, ipc_loop);
                       peer->proxy->AddListener(peer.get(), 0);
                       made.set_value();
                     }),
                     0);
  made.get_future().wait();
  failed.wait();
  peer->proxy.reset();
  services.Stop();
  return 0;
}
