// ipc_peer: the other process of the IPC tests. Opens the client end of the channel id given
// on its command line and answers the host by the script of ipc_peer_protocol.h until the
// channel fails (the host closed it or went away).
//
//   ipc_peer <channel id>
//
// It runs the browser's threads through the host services; its listener lives on the
// extension-manager thread, which also paces a stream.
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

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

using namespace ipc_peer;

class CPeer : public IPC::CChannel::CListener {
 public:
  explicit CPeer(Thread::CMessageLoop* loop) : loop_(loop->proxy()) {}

  void set_proxy(IPC::CChannelProxy* proxy) { proxy_ = proxy; }

  void OnMessageReceived(const IPC::CMessage& m) override {
    switch (m.type()) {
      case kEcho:
        proxy_->Send(new IPC::CMessage(m));
        break;
      case kSyncEcho:
        Reply(m, m.serial_number(), false);
        break;
      case kSyncError:
        Reply(m, m.serial_number(), true);
        break;
      case kSyncDwb: {
        dwb_serial_ = m.serial_number();
        auto* note = new IPC::CMessage(false, kDwbNote);
        note->set_routing_id(m.routing_id());
        note->SetDispatchWhileBlocked();
        proxy_->Send(note);
        break;
      }
      case kAck:
        Reply(m, dwb_serial_, false);
        break;
      case kStream: {
        const char* it = nullptr;
        int32_t count = 0;
        m.ReadInt(&it, &count);
        stream_left_ = count > 0 ? count : -1;
        StreamBatch();
        break;
      }
      case kCrash:
        raise(SIGKILL);
        break;
      default:
        break;
    }
  }
  void OnChannelConnected(int32_t) override {}
  void OnChannelError() override {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    cv_.notify_all();
  }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  void WaitForFailure() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return failed_; });
  }

  // Sends one batch of stream items and queues the next batch behind the loop's other work.
  void StreamBatch() {
    for (int i = 0; i < 256 && stream_left_ != 0; ++i) {
      auto* item = new IPC::CMessage(false, kStreamItem);
      item->WriteInt(stream_seq_++);
      proxy_->Send(item);
      if (stream_left_ > 0) --stream_left_;
    }
    if (stream_left_ != 0 && !Failed()) {
      loop_->PostTask(Thread::NewTask(this, &CPeer::StreamBatch, u"&CPeer::StreamBatch"), 0);
    }
  }

 private:
  ~CPeer() override = default;

  bool Failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  void Reply(const IPC::CMessage& request, int64_t serial, bool error) {
    auto* reply = new IPC::CMessage(true, request.type());
    reply->MakeReplyTo(serial, error);
    reply->set_routing_id(request.routing_id());
    if (!error) {
      reply->WriteBytes(request.data() + request.header_size(), request.payload_size());
    }
    proxy_->Send(reply);
  }

  base::RefPtr<Thread::CMessageLoopProxy> loop_;
  IPC::CChannelProxy* proxy_ = nullptr;
  int64_t dwb_serial_ = 0;  // listener thread only
  int64_t stream_left_ = 0;
  int32_t stream_seq_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool failed_ = false;  // Guarded by mutex_
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ipc_peer <channel id>\n");
    return kExitUsage;
  }
  host::CHostServices services;
  if (!services.Start()) return kExitNoThreads;
  Thread::CMessageLoop* ipc_loop = nullptr;
  Thread::CMessageLoop* listener_loop = nullptr;
  services.thread_service()->GetMessageLoop(Thread::kThreadIPC, &ipc_loop);
  services.thread_service()->GetMessageLoop(Thread::kThreadExtensionManager, &listener_loop);
  base::RefPtr<CPeer> peer(new CPeer(listener_loop));
  // The proxy is made on the IPC thread and the listener registered in the same task, so that
  // the registration is in place before the first read can deliver anything.
  std::unique_ptr<IPC::CChannelProxy> proxy;
  std::mutex mutex;
  std::condition_variable cv;
  bool made = false;
  ipc_loop->PostTask(Thread::NewFuncTask([&] {
                       proxy = std::make_unique<IPC::CChannelProxy>(halcy::Utf8ToUtf16(argv[1]), 1,
                                                                    ipc_loop);
                       peer->set_proxy(proxy.get());
                       proxy->AddListener(peer.get(), 0);
                       std::lock_guard<std::mutex> lock(mutex);
                       made = true;
                       cv.notify_all();
                     }),
                     0);
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return made; });
  }
  peer->WaitForFailure();
  proxy.reset();
  services.Stop();
  return kExitChannelClosed;
}
