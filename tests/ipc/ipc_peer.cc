// ipc_peer <channel id>: the client end of a channel in a separate process, for
// ipc_process_test (what it does with each message: see kPeerCrash). It listens on the
// extension-manager thread of a test host and ends once the channel fails.
#include <signal.h>

#include <memory>

#include "ipc/ipc_channel_proxy.h"
#include "ipc/ipc_test_util.h"
#include "platform/strings.h"
#include "thread/thread_service.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  testing_support::TestHost host;
  base::RefPtr<ipc_test::RecordingListener> peer(
      new ipc_test::RecordingListener(host.Loop(Thread::kThreadExtensionManager)));
  std::unique_ptr<IPC::CChannelProxy> proxy;  // set before the first message can arrive
  peer->set_on_message([&proxy](const IPC::CMessage& m) {
    if (m.type() == ipc_test::kPeerCrash) raise(SIGKILL);
    auto* answer = new IPC::CMessage(m);
    if (m.is_sync()) answer->MakeReplyTo(m.serial_number(), false);
    proxy->Send(answer);
  });
  // Made on the IPC thread with the listener in the same task: registered before the first read.
  host.RunOn(Thread::kThreadIPC, [&] {
    proxy = std::make_unique<IPC::CChannelProxy>(halcy::Utf8ToUtf16(argv[1]), 1,
                                                 host.Loop(Thread::kThreadIPC));
    proxy->AddListener(peer.get(), 0);
  });
  while (!peer->WaitForErrors(1)) {
  }
  proxy.reset();
  return 0;
}
