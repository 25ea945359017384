#include "host/host_services.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "extension/extension_agent.h"
#include "host/browser_model.h"
#include "host/browser_services.h"
#include "host/browser_thread.h"
#include "host/browser_window_service.h"
#include "host/channel_info.h"
#include "host/database_service.h"
#include "host/download_engine.h"
#include "host/guild_popup.h"
#include "host/logic_global_service.h"
#include "host/program_task.h"
#include "host/statistics_service.h"
#include "host/thread_service.h"
#include "host/ui_ext_points.h"
#include "host/xml_document.h"
#include "module/class_ids.h"
#include "platform/object_factory.h"
#include "platform/threads.h"
#include "thread/message_loop.h"
#include "thread/task.h"
#include "thread/thread_service.h"
#include "update/carry_info.h"
#include "update/net_file_fetcher.h"

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

// Completion of one posted call; signalled when the task is destroyed, run or not.
struct CallState {
  std::mutex mutex;
  std::condition_variable cv;
  bool finished = false;  // Guarded by mutex
  bool ran = false;       // Guarded by mutex
};

class FinishSignal {
 public:
  explicit FinishSignal(std::shared_ptr<CallState> state) : state_(std::move(state)) {}
  FinishSignal(FinishSignal&&) = default;
  ~FinishSignal() {
    if (!state_) return;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->finished = true;
    }
    state_->cv.notify_all();
  }

 private:
  std::shared_ptr<CallState> state_;
};

constexpr int kAgentClassIndex = 2;          // CCoExtensionAgent in the module's class table
constexpr int kCommonCmdHostClassIndex = 0;  // CCoExtCommonCmdHost
constexpr int kMenuCmdHostClassIndex = 7;    // CCoExtMenuCmdHost
constexpr int kNetFileFetcherClassIndex = 10;
constexpr int kCarryInfoClassIndex = 11;

// Makes the class at `index` of the module's class table creatable by its first interface.
void RegisterModuleClassByIID(int index) {
  halcy::CreatableClass entry;
  entry.clsid = Logic::kClassTable[index].clsid;
  halcy::SetCreatableClass(Logic::kClassTable[index].interfaces[0].iid, std::move(entry));
}

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
  static_assert(Logic::kClassTable[kNetFileFetcherClassIndex].interfaces[0].iid ==
                Logic::INetFileFetcher::kIID);
  RegisterModuleClassByIID(kNetFileFetcherClassIndex);
  static_assert(Logic::kClassTable[kMenuCmdHostClassIndex].interfaces[0].iid ==
                Logic::kIID_IExtMenuCmdHost);
  RegisterModuleClassByIID(kMenuCmdHostClassIndex);
  static_assert(Logic::kClassTable[kCarryInfoClassIndex].interfaces[0].iid ==
                Logic::ICarryInfo::kIID);
  RegisterModuleClassByIID(kCarryInfoClassIndex);
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
  if (browser_model_) browser_model_->SetUiCallLog(ui_log_);
  ui_points_ = halcy::MakeComObject<CUIExtPtMgr>(ui_log_);
  if (browser_model_) {
    browser_windows_ = halcy::MakeComObject<CBrowserWindowService>(ui_log_, browser_model_);
  }
  guild_popup_ = halcy::MakeComObject<CGuildPopup>(CGuildPopup::StdoutWriter());
  xml_classes_ = halcy::MakeComObject<CXmlDocumentClasses>();
  window_mgr_ = halcy::MakeComObject<CExtWindowMgr>(skin_windows_);
  menu_window_mgr_ = halcy::MakeComObject<CExtMenuWindowMgr>(menus_);
  if (!window_mgr_ || !menu_window_mgr_ || !browser_model_ || !ui_points_ || !browser_windows_ ||
      !guild_popup_ || !xml_classes_ || !thread_service_ || !logic_global_service_ ||
      !database_service_ || !channel_info_ || !statistics_service_ || !version_service_ ||
      !skin_service_ || !user_service_) {
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
  // Frames' and popups' windows belong to the UI thread, as the browser's do.
  const DWORD ui_thread = thread(Thread::kThreadUI)->thread_id();
  browser_model_->SetWindowThread(ui_thread);
  browser_model_->SetPopupFrames(popup_frames_);
  popup_frames_->SetWindowThread(ui_thread);
  Register();
  return true;
}

void CHostServices::Stop() {
  if (logic_global_service_) logic_global_service_->SignalShutdown();
  for (auto& t : threads_) t->Stop();
  Unregister();
  threads_.clear();
  popup_frames_->Clear();
  if (user_service_) user_service_->ClearRegistrations();
  user_service_ = nullptr;
  browser_windows_ = nullptr;
  browser_model_ = nullptr;
  ui_points_ = nullptr;
  guild_popup_ = nullptr;
  xml_classes_ = nullptr;
  menus_->Clear();  // the menu shown last holds the module's menu host
  window_mgr_ = nullptr;
  menu_window_mgr_ = nullptr;
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

bool CHostServices::RunOnThread(int kind, const std::function<void()>& fn) {
  CBrowserThread* target = thread(kind);
  if (target && target->thread_id() == GetCurrentThreadId()) {
    fn();
    return true;
  }
  auto state = std::make_shared<CallState>();
  FinishSignal signal(state);
  Thread::CTask* task = Thread::NewFuncTask([&fn, state, signal = std::move(signal)] {
    fn();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->ran = true;
  });
  if (thread_service_) {
    thread_service_->PostTask(kind, task);  // takes the task whatever the result
  } else {
    delete task;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  state->cv.wait(lock, [&] { return state->finished; });
  return state->ran;
}

bool CHostServices::WaitIdle(std::chrono::milliseconds limit) {
  // Rounds of one marker task per thread. Two rounds in a row in which every thread ran
  // nothing but the markers, and had nothing else ready when its marker ran, prove a moment
  // (the end of the first round) at which all queues were empty and nothing was running.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::optional<std::vector<uint64_t>> previous;
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<uint64_t> counts;
    bool busy = false;
    for (const ThreadKind& k : kThreadKinds) {
      Thread::CMessageLoop* loop = nullptr;
      if (thread_service_) thread_service_->GetMessageLoop(k.kind, &loop);
      if (!loop) return false;
      const bool ran = RunOnThread(k.kind, [&] {
        counts.push_back(loop->tasks_run());
        busy |= loop->HasPendingWork();
      });
      if (!ran) return false;
    }
    bool quiet = previous.has_value() && !busy;
    for (size_t i = 0; quiet && i < counts.size(); ++i) {
      quiet = counts[i] == (*previous)[i] + 1;  // the previous round's marker only
    }
    if (quiet) return true;
    previous = std::move(counts);
  }
  return false;
}

void CHostServices::Register() {
  auto set = [this](REFIID iid, IUnknown* service) { registrations_.Publish(iid, service); };
  set(Thread::IThreadService::kIID, static_cast<Thread::IThreadService*>(thread_service_.Get()));
  set(Thread::IMessageLoopRegistry::kIID,
      static_cast<Thread::IMessageLoopRegistry*>(thread_service_.Get()));
  set(halcy::IDelayedCallRunner::kIID,
      static_cast<halcy::IDelayedCallRunner*>(thread_service_.Get()));
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
  set(Logic::IGuildPopup::kIID, guild_popup_.Get());
  set(Logic::IUIExtPtMgr::kIID, ui_points_.Get());
  set(Logic::ISideBarMgr::kIID, static_cast<Logic::ISideBarMgr*>(browser_model_.Get()));
  set(Logic::IBrowserWindowService::kIID, browser_windows_.Get());
  set(Logic::IXmlDocumentClasses::kIID, xml_classes_.Get());
  set(Logic::IExtWindowMgr::kIID, window_mgr_.Get());
  set(Logic::IExtMenuWindowMgr::kIID, menu_window_mgr_.Get());
  auto creatable = [this](REFIID iid, HRESULT (*create)(REFIID, void**)) {
    halcy::CreatableClass entry;
    entry.create = create;
    registrations_.PublishClass(iid, std::move(entry));
  };
  creatable(Logic::IStoreParams::kIID, &CStoreParams::Create);
  creatable(Logic::IPropertySet::kIID, &CPropertySet::Create);
  creatable(Logic::IUIExtDescription::kIID, &CUIExtDescription::Create);
  registrations_.PublishClass(Logic::ISkinWindow::kIID, CSkinWindow::Factory(skin_windows_));
  registrations_.PublishClass(Logic::IExtPopupMenu::kIID, CExtPopupMenu::Factory(menus_));
  registrations_.PublishClass(Logic::IPopupFrame::kIID, CPopupFrame::Factory(popup_frames_));
  creatable(Logic::IDownloadEngine::kIID, &CDownloadEngine::Create);
  creatable(Logic::IProgramTask::kIID, &CProgramTask::Create);
  creatable(Logic::IProgramTaskManager::kIID, &CProgramTaskManager::Create);
}

void CHostServices::Unregister() {
  // In reverse, so that a service registered twice ends with what was there first.
  registrations_.Restore();
}

}  // namespace host
