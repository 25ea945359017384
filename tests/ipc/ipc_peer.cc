// ipc_peer <channel id>: the other process of the IPC tests (see ipc_peer_protocol.h). It runs
// the browser's threads through the host services, listens on the extension-manager thread and
// ends once the channel fails.
#include <signal.h>

#include <future>
#include <memory>

#include "host/host_services.h"
#include "host/thread_service.h"
#include "ipc/ipc_channel_proxy.h"
#include "ipc/ipc_peer_protocol.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "thread/task.h"

int main(int argc, char** argv) {
  host::CHostServices services;
  if (argc != 2 || !services.Start()) return 2;
  Thread::CMessageLoop* ipc_loop = nullptr;
  Thread::CMessageLoop* listener_loop = nullptr;
  services.thread_service()->GetMessageLoop(Thread::kThreadIPC, &ipc_loop);
  services.thread_service()->GetMessageLoop(Thread::kThreadExtensionManager, &listener_loop);
  base::RefPtr<ipc_test::RecordingListener> peer(new ipc_test::RecordingListener(listener_loop));
  std::unique_ptr<IPC::CChannelProxy> proxy;  // set before the first message can arrive
  peer->set_on_message([&proxy](const IPC::CMessage& m) {
    if (m.type() == ipc_peer::kCrash) raise(SIGKILL);
    auto* answer = new IPC::CMessage(m);
    if (m.is_sync()) answer->MakeReplyTo(m.serial_number(), false);
    proxy->Send(answer);
  });
  // Made on the IPC thread with the listener in the same task: registered before the first read.
  std::promise<void> made;
  ipc_loop->PostTask(Thread::NewFuncTask([&] {
                       proxy = std::make_unique<IPC::CChannelProxy>(halcy::Utf8ToUtf16(argv[1]), 1,
                                                                    ipc_loop);
                       proxy->AddListener(peer.get(), 0);
                       made.set_value();
                     }),
                     0);
  made.get_future().wait();
  while (!peer->WaitForErrors(1)) {
  }
  proxy.reset();
  services.Stop();
  return 0;
}
