#include "host/host_services.h"

#include "host/browser_thread.h"
#include "host/logic_global_service.h"
#include "host/thread_service.h"
#include "platform/object_factory.h"
#include "thread/thread_service.h"

namespace host {
namespace {

struct ThreadKind {
  int kind;
  const char* name;
};

// Stopped in this order: the extension manager first (its shut-down may still post to the
// others), the IPC thread last (channels closing elsewhere complete their I/O there).
constexpr ThreadKind kThreadKinds[] = {
    {Thread::kThreadExtensionManager, "ExtensionManagerThread"},
    {Thread::kThreadUI, "UIThread"},
    {Thread::kThreadProcessLauncher, "ProcessLauncherThread"},
    {Thread::kThreadIPC, "IPCThread"},
};

}  // namespace

CHostServices::CHostServices() = default;

CHostServices::~CHostServices() { Stop(); }

bool CHostServices::Start() {
  if (thread_service_) return false;
  thread_service_ = halcy::MakeComObject<CThreadService>();
  logic_global_service_ = halcy::MakeComObject<CLogicGlobalService>(
      static_cast<Thread::IThreadService*>(thread_service_.Get()));
  if (!thread_service_ || !logic_global_service_) {
    Stop();
    return false;
  }
  for (const ThreadKind& k : kThreadKinds) {
    threads_.push_back(std::make_unique<CBrowserThread>(k.kind, k.name, thread_service_.Get()));
    if (!threads_.back()->Start()) {
      Stop();
      return false;
    }
  }
  Register();
  return true;
}

void CHostServices::Stop() {
  if (logic_global_service_) logic_global_service_->SignalShutdown();
  for (auto& t : threads_) t->Stop();
  Unregister();
  threads_.clear();
  logic_global_service_ = nullptr;
  thread_service_ = nullptr;
}

CBrowserThread* CHostServices::thread(int kind) const {
  for (const auto& t : threads_) {
    if (t->kind() == kind) return t.get();
  }
  return nullptr;
}

void CHostServices::Register() {
  auto set = [this](REFIID iid, IUnknown* service) {
    replaced_.emplace_back(iid, halcy::SetService(iid, service));
  };
  set(Thread::IThreadService::kIID, static_cast<Thread::IThreadService*>(thread_service_.Get()));
  set(Thread::IMessageLoopRegistry::kIID,
      static_cast<Thread::IMessageLoopRegistry*>(thread_service_.Get()));
  set(Logic::ILogicGlobalService::kIID, logic_global_service_.Get());
}

void CHostServices::Unregister() {
  // In reverse, so that a service registered twice ends with what was there first.
  for (auto it = replaced_.rbegin(); it != replaced_.rend(); ++it) {
    halcy::SetService(it->first, it->second.Get());
  }
  replaced_.clear();
}

}  // namespace host
