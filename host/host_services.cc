#include "host/host_services.h"

#include <utility>

#include "extension/extension_agent.h"
#include "host/browser_model.h"
#include "host/browser_services.h"
#include "host/browser_thread.h"
#include "host/channel_info.h"
#include "host/database_service.h"
#include "host/logic_global_service.h"
#include "host/statistics_service.h"
#include "host/thread_service.h"
#include "module/class_ids.h"
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

constexpr int kAgentClassIndex = 2;          // CCoExtensionAgent in the module's class table
constexpr int kCommonCmdHostClassIndex = 0;  // CCoExtCommonCmdHost

}  // namespace

void RegisterModuleClasses() {
  static_assert(Logic::kClassTable[kAgentClassIndex].interfaces[0].iid ==
                Logic::IExtensionAgent::kIID);
  halcy::CreatableClass entry;
  entry.clsid = Logic::kClassTable[kAgentClassIndex].clsid;
  halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, std::move(entry));
  static_assert(Logic::kClassTable[kCommonCmdHostClassIndex].interfaces[0].iid ==
                Logic::kIID_IExtCommonCmdHost);
  halcy::CreatableClass common_host;
  common_host.clsid = Logic::kClassTable[kCommonCmdHostClassIndex].clsid;
  halcy::SetCreatableClass(Logic::kIID_IExtCommonCmdHost, std::move(common_host));
}

CHostServices::CHostServices() = default;

CHostServices::~CHostServices() { Stop(); }

bool CHostServices::Start() {
  if (thread_service_) return false;
  thread_service_ = halcy::MakeComObject<CThreadService>();
  logic_global_service_ = halcy::MakeComObject<CLogicGlobalService>(
      static_cast<Thread::IThreadService*>(thread_service_.Get()));
  database_service_ = halcy::MakeComObject<CDatabaseService>();
  channel_info_ = halcy::MakeComObject<CChannelInfo>();
  statistics_service_ = halcy::MakeComObject<CStatisticsService>();
  version_service_ = halcy::MakeComObject<CVersionService>();
  skin_service_ = halcy::MakeComObject<CSkinService>();
  user_service_ = halcy::MakeComObject<CUserServiceManager>();
  browser_model_ = halcy::MakeComObject<CBrowserModel>();
  if (!browser_model_ || !thread_service_ || !logic_global_service_ || !database_service_ ||
      !channel_info_ || !statistics_service_ || !version_service_ || !skin_service_ ||
      !user_service_) {
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
  if (user_service_) user_service_->ClearRegistrations();
  user_service_ = nullptr;
  browser_model_ = nullptr;
  skin_service_ = nullptr;
  version_service_ = nullptr;
  statistics_service_ = nullptr;
  channel_info_ = nullptr;
  database_service_ = nullptr;
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
  set(Logic::IDatabaseService::kIID, database_service_.Get());
  set(Logic::IChannelInfo::kIID, channel_info_.Get());
  set(Logic::IStatisticsService::kIID, statistics_service_.Get());
  set(Logic::IVersionService::kIID, version_service_.Get());
  set(Logic::ISkinService::kIID, skin_service_.Get());
  set(Logic::IUserServiceManager::kIID, user_service_.Get());
  set(Logic::IBrowserFrameMgr::kIID, static_cast<Logic::IBrowserFrameMgr*>(browser_model_.Get()));
  set(Logic::ILoginService::kIID, static_cast<Logic::ILoginService*>(browser_model_.Get()));
  set(Logic::ILoginDialog::kIID, static_cast<Logic::ILoginDialog*>(browser_model_.Get()));
  auto creatable = [this](REFIID iid, HRESULT (*create)(REFIID, void**)) {
    halcy::CreatableClass entry;
    entry.create = create;
    replaced_classes_.emplace_back(iid, halcy::SetCreatableClass(iid, std::move(entry)));
  };
  creatable(Logic::IStoreParams::kIID, &CStoreParams::Create);
  creatable(Logic::IPropertySet::kIID, &CPropertySet::Create);
}

void CHostServices::Unregister() {
  // In reverse, so that a service registered twice ends with what was there first.
  for (auto it = replaced_.rbegin(); it != replaced_.rend(); ++it) {
    halcy::SetService(it->first, it->second.Get());
  }
  replaced_.clear();
  for (auto it = replaced_classes_.rbegin(); it != replaced_classes_.rend(); ++it) {
    halcy::SetCreatableClass(it->first, std::move(it->second));
  }
  replaced_classes_.clear();
}

}  // namespace host
