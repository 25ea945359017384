// The install guide's interface, its start and stop, and the retry of unfinished installations.
// Package handling and the download and program reports are in
// extension_app_guild_package.cc.
#include "update/extension_app_guild.h"

#include <utility>

#include "common/extension_rules.h"
#include "common/log.h"
#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/object_factory.h"
#include "platform/string_resources.h"
#include "platform/strings.h"
#include "platform/timer.h"
#include "thread/thread_post.h"
#include "update/guild_popup.h"
#include "update/http_post.h"
#include "update/net_file_fetcher.h"
#include "update/timer_callback.h"
#include "update/unfinished_task_list.h"

namespace Logic {
namespace {

constexpr char16_t kConfigFileName[] = u"extensionMgrConfig.ini";
// Probed when the configuration names no address of its own.
constexpr char16_t kDefaultProbeAddress[] = u"http://www.example.com/";
constexpr size_t kMaxUrlChars = 2048;

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string ConfigPath() { return GetBrowserDirectory() + u"\\" + kConfigFileName; }

// Package addresses come from the front end, a server or the task-list file.
bool IsAcceptableUrl(const std::u16string& url) {
  if (url.empty() || url.size() > kMaxUrlChars) return false;
  for (char16_t c : url) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return IsHttpAddress(url);
}

// Logs and refuses an id that cannot name a folder of the extension data directory.
bool CheckId(const std::u16string& id, const char16_t* where) {
  if (CheckExtensionId(id) == ExtensionIdCheck::kUsable) return true;
  Log(kLogFailure, u"ext;", u"guide: %s: id \"%s\" refused", where, id.c_str());
  return false;
}

}  // namespace

bool IsApplicationNumber(const std::u16string& id) {
  // _wtoi: blanks, an optional sign, then decimal digits up to the first other character.
  size_t i = 0;
  while (i < id.size() && (id[i] == u' ' || id[i] == u'\t')) ++i;
  bool negative = false;
  if (i < id.size() && (id[i] == u'+' || id[i] == u'-')) negative = id[i++] == u'-';
  long value = 0;
  for (; i < id.size() && id[i] >= u'0' && id[i] <= u'9' && value <= 99999; ++i) {
    value = value * 10 + (id[i] - u'0');
  }
  if (negative) value = -value;
  return value >= 10001 && value <= 99999;
}

CExtensionAppGuild::CExtensionAppGuild()
    : timer_callback_(halcy::MakeComObject<CTimerCallback>()) {}

CExtensionAppGuild::~CExtensionAppGuild() = default;

HRESULT CExtensionAppGuild::SetExtensionMgr(IExtensionMgr* manager) {
  if (!PathFileExistsW(ConfigPath().c_str())) return E_FAIL;
  base::CAutoLock lock(lock_);
  manager_ = ComPtr<IExtensionMgr>(manager);
  return S_OK;
}

HRESULT CExtensionAppGuild::CancelInstall(BSTR id) {
  Post(Thread::kThreadExtensionManager, &CExtensionAppGuild::CancelInstallInExtMgrThread,
       u"&CExtensionAppGuild::CancelInstallInExtMgrThread", Text(id));
  return S_OK;
}

HRESULT CExtensionAppGuild::ExcuteProgramByExId(BSTR id) {
  Post(Thread::kThreadExtensionManager, &CExtensionAppGuild::ExcuteProgramByExIdExtMgrThread,
       u"&CExtensionAppGuild::ExcuteProgramByExIdExtMgrThread", Text(id));
  return S_OK;
}

HRESULT CExtensionAppGuild::InstallByExId(BSTR id, BSTR url) {
  // A guide that refused its manager (no configuration file) can install nothing; say so rather
  // than post a task that would find no manager.
  if (!Manager()) return E_UNEXPECTED;
  Post(Thread::kThreadExtensionManager, &CExtensionAppGuild::InstallByExIdInExtMgrThread,
       u"&CExtensionAppGuild::InstallByExIdInExtMgrThread", Text(id), Text(url));
  return S_OK;
}

HRESULT CExtensionAppGuild::GetInstallCount(LONG* count) {
  if (!count) return E_POINTER;
  base::CAutoLock lock(lock_);
  *count = static_cast<LONG>(installs_.size());
  return S_OK;
}

HRESULT CExtensionAppGuild::InstallFromFECommand(BSTR command) {
  Post(Thread::kThreadUI, &CExtensionAppGuild::NewWindow, u"&CExtensionAppGuild::NewWindow",
       std::u16string(u"hcbrowser://newtab/"));
  Post(Thread::kThreadExtensionManager, &CExtensionAppGuild::_InstallFromFECommandInExtMgrThread,
       u"&CExtensionAppGuild::_InstallFromFECommandInExtMgrThread", Text(command));
  return S_OK;
}

HRESULT CExtensionAppGuild::Start() {
  // The callback holds the guide until Stop clears it: a timer that fires after Stop calls
  // nothing, and one that fires before finds the guide alive.
  ComPtr<CExtensionAppGuild> self(this);
  timer_callback_->SetTarget([self](UINT) {
    Util::Common::Timer::EraseTimerCallback(self->timer_callback_.Get(), kGuildStartTimerId);
    self->Post(Thread::kThreadExtensionManager, &CExtensionAppGuild::_StartUnFinishTask,
               u"&CExtensionAppGuild::_StartUnFinishTask");
  });
  Post(Thread::kThreadUI, &CExtensionAppGuild::_StartTimer, u"&CExtensionAppGuild::_StartTimer");
  return S_OK;
}

void CExtensionAppGuild::_StartTimer() {
  if (!Util::Common::Timer::SetOneTimer(start_delay_ms_, timer_callback_.Get(),
                                        kGuildStartTimerId)) {
    Log(kLogFailure, u"ext;", u"guide: start timer %u not set", kGuildStartTimerId);
  }
}

void CExtensionAppGuild::_EraseTimerInUIThread() {
  // FALSE only means the timer had fired already or was never set.
  Util::Common::Timer::EraseTimerCallback(timer_callback_.Get(), kGuildStartTimerId);
}

HRESULT CExtensionAppGuild::Stop() {
  Post(Thread::kThreadUI, &CExtensionAppGuild::_EraseTimerInUIThread,
       u"&CExtensionAppGuild::_EraseTimerInUIThread");
  timer_callback_->ClearTarget();
  std::vector<UnFinishTask> saved;
  std::vector<ComPtr<ICarryInfo>> downloads;
  {
    base::CAutoLock lock(lock_);
    for (auto it = installs_.begin(); it != installs_.end();) {
      Installation& install = it->second;
      if (install.download) downloads.push_back(std::move(install.download));
      if (install.times >= 3) {
        it = installs_.erase(it);
        continue;
      }
      saved.push_back({it->first, install.url, install.times});
      ++install.times;
      ++it;
    }
  }
  // Every download ends here: a saved one starts again at the next start, and none may report
  // to a guide that has stopped (or keep it alive through its listener).
  for (const ComPtr<ICarryInfo>& download : downloads) {
    download->ClearListener();
    if (fetcher_) fetcher_->AbortTask(download.Get());
  }
  if (GetExtensionDataDirectory().empty()) return S_OK;
  CUnFinishTaskList(TaskListPath()).Save(saved);
  return S_OK;
}

std::u16string CExtensionAppGuild::TaskListPath() const {
  return GetExtensionDataDirectory() + u"\\" + kUnFinishTaskFileName;
}

ComPtr<IExtensionMgr> CExtensionAppGuild::Manager() {
  base::CAutoLock lock(lock_);
  return manager_;
}

void CExtensionAppGuild::_StartUnFinishTask() {
  if (!Manager() || GetExtensionDataDirectory().empty()) return;
  CUnFinishTaskList list(TaskListPath());
  for (int index = 1; index <= list.GetCount();) {
    UnFinishTask task;
    if (!list.GetEntry(index, &task)) break;
    bool remove = false;
    ResumeEntry(task, &remove);
    // A removal moves the later entries down: the same index holds the next one. By index, not
    // by id: an earlier, valid entry of the same id must stay.
    if (remove && list.RemoveAt(index)) continue;
    ++index;
  }
}

void CExtensionAppGuild::ResumeEntry(const UnFinishTask& task, bool* remove) {
  *remove = true;
  if (task.url.empty()) return;
  if (!CheckId(task.id, u"unfinished task") || !IsAcceptableUrl(task.url)) return;
  if (!NeedsPackage(task.id, IsApplicationNumber(task.id))) return;
  *remove = false;
  // This start is one more attempt.
  StartInstall(task.id, task.url, task.times + 1, /*resumed=*/true);
}

// The presence test: the id is known to the manager as a placeholder that still waits for its
// package ("setuponline" 1); for an application, its program must also be missing.
bool CExtensionAppGuild::NeedsPackage(const std::u16string& id, bool application) {
  ComPtr<IExtensionMgr> manager = Manager();
  ComPtr<IExtensionAgent> agent;
  halcy::ScopedBstr bid(id);
  if (!manager || FAILED(manager->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf())) ||
      !agent) {
    return false;
  }
  LONG online = 0;
  agent->GetSetupOnline(&online);
  if (online != 1) return false;
  if (!application) return true;
  halcy::ScopedBstr program, params, icon;
  return agent->GetRegPathProgram(program.Receive(), params.Receive(), icon.Receive()) != S_OK;
}

void CExtensionAppGuild::InstallByExIdInExtMgrThread(std::u16string id, std::u16string url) {
  if (!CheckId(id, u"install")) return;
  if (!IsAcceptableUrl(url)) {
    Log(kLogFailure, u"ext;", u"guide: install %s: address refused", id.c_str());
    return;
  }
  StartInstall(id, url, 0, /*resumed=*/false);
}

void CExtensionAppGuild::_InstallFromFECommandInExtMgrThread(std::u16string command) {
  std::unique_ptr<CJsonValue> json = ParseJson(command);
  if (!json || !json->IsObject()) {
    Log(kLogFailure, u"ext;", u"guide: front-end install command is not an object");
    return;
  }
  auto text = [&json](const char16_t* key) {
    auto it = json->GetObject().find(key);
    return it != json->GetObject().end() && it->second && it->second->IsString()
               ? it->second->GetString()
               : std::u16string();
  };
  InstallByExIdInExtMgrThread(text(u"id"), text(u"url"));
}

void CExtensionAppGuild::CancelInstallInExtMgrThread(std::u16string id) {
  ComPtr<ICarryInfo> download;
  {
    base::CAutoLock lock(lock_);
    auto it = installs_.find(id);
    if (it == installs_.end()) return;
    download = it->second.download;
    installs_.erase(it);
  }
  if (download) {
    download->ClearListener();
    if (fetcher_) fetcher_->AbortTask(download.Get());
  }
  Report(id, u"cancel");
}

void CExtensionAppGuild::ExcuteProgramByExIdExtMgrThread(std::u16string id) {
  if (!CheckId(id, u"run")) return;
  ComPtr<IExtensionMgr> manager = Manager();
  ComPtr<IExtensionAgent> agent;
  halcy::ScopedBstr bid(id);
  if (!manager || FAILED(manager->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf())) ||
      !agent) {
    return;
  }
  halcy::ScopedBstr program, params, icon;
  if (agent->GetRegPathProgram(program.Receive(), params.Receive(), icon.Receive()) != S_OK) {
    Log(kLogFailure, u"ext;", u"guide: %s has no program to run", id.c_str());
    return;
  }
  if (RunProgram(id, std::u16string(program.View()), std::u16string(params.View()))) {
    Report(id, u"Activate");
  }
}

bool CExtensionAppGuild::NetworkCheck() {
  char16_t probe[512] = {};
  GetPrivateProfileStringW(u"guide", u"probe", kDefaultProbeAddress, probe, 512,
                           ConfigPath().c_str());
  if (!CheckUrlReachable(probe)) {
    ShowMessage(u"IDS_HALCY_EXTENSIONGUILD_NET_CHECK");
    return false;
  }
  ShowMessage(u"IDS_HALCY_EXTENSIONGUILD_INSTALL_PREPARE");
  return true;
}

void CExtensionAppGuild::ShowMessage(const char16_t* resource_name) {
  std::u16string text = Help::String::LoadStringW(resource_name);
  if (text.empty()) text = resource_name;  // a missing table still tells the user something
  Post(Thread::kThreadUI, &CExtensionAppGuild::PopupGuildMsg, u"&CExtensionAppGuild::PopupGuildMsg",
       std::move(text));
}

void CExtensionAppGuild::PopupGuildMsg(std::u16string text) {
  ComPtr<IGuildPopup> popup;
  if (FAILED(Util::Com::GetService(IGuildPopup::kIID, popup.ReleaseAndGetVoidAddress())) ||
      !popup) {
    Log(kLogFailure, u"ext;", u"guide: no pop-up for \"%s\"", text.c_str());
    return;
  }
  popup->ShowMessage(halcy::ScopedBstr(text).Get());
}

void CExtensionAppGuild::UpdateGuildProgress(std::u16string figure) {
  ComPtr<IGuildPopup> popup;
  if (SUCCEEDED(Util::Com::GetService(IGuildPopup::kIID, popup.ReleaseAndGetVoidAddress())) &&
      popup) {
    popup->ShowProgress(halcy::ScopedBstr(figure).Get());
  }
}

void CExtensionAppGuild::NewWindow(std::u16string url) {
  ComPtr<IGuildPopup> popup;
  if (SUCCEEDED(Util::Com::GetService(IGuildPopup::kIID, popup.ReleaseAndGetVoidAddress())) &&
      popup) {
    popup->OpenWindow(halcy::ScopedBstr(url).Get());
  }
}

void CExtensionAppGuild::Report(const std::u16string& id, const char16_t* action,
                                const char16_t* style) {
  ComPtr<IExtensionMgr> manager = Manager();
  if (!manager) return;
  const std::u16string product = id == u"10001" ? u"HalcyReader" : id;
  // S_FALSE (no statistics service) needs nothing more.
  manager->RecordUsageAction(halcy::ScopedBstr(u"Loadproducts").Get(),
                             halcy::ScopedBstr(product).Get(), halcy::ScopedBstr(action).Get(),
                             halcy::ScopedBstr(style).Get(), halcy::ScopedBstr(u"").Get());
}

void CExtensionAppGuild::Fail(const std::u16string& id, const char16_t* message,
                              const char16_t* style) {
  ShowMessage(message);
  Report(id, style[0] ? style : u"FailedInstall", style[0] ? u"FailedInstall" : u"");
}

void CExtensionAppGuild::Forget(const std::u16string& id) {
  base::CAutoLock lock(lock_);
  installs_.erase(id);
}

HRESULT CExtensionAppGuild::OnInstallResult(BSTR id, BOOL success) {
  const std::u16string text = Text(id);
  if (!CheckId(text, u"install result")) return E_INVALIDARG;
  SettleReplacedFolder(text, success != FALSE);
  if (success) {
    Forget(text);
    ShowMessage(u"IDS_HALCY_EXTENSIONGUILD_INSTALL_OK");
    Report(text, u"InstallSuccess");
  } else {
    Fail(text, u"IDS_HALCY_EXTENSIONGUILD_INSTALL_FAIL", u"Abead");
  }
  return S_OK;
}

HRESULT CExtensionAppGuild::OnInstallDone(BSTR extension_id, HRESULT result) {
  return OnInstallResult(extension_id, result == S_OK);
}

}  // namespace Logic
