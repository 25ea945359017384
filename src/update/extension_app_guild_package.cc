// The install guide's downloads, packages and setup programs: the download and program-task
// reports, unpacking into a staging folder, the move into place, the manager's install and
// the setup program.
#include <string>
#include <utility>

#include "common/file_util.h"
#include "common/log.h"
#include "common/version.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "module/channel_info.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/file_below.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/thread_post.h"
#include "update/extension_app_guild.h"
#include "update/net_file_fetcher.h"
#include "update/zip_package.h"

namespace Logic {
namespace {

constexpr uint64_t kMaxSetupJsonBytes = 64 * 1024;
// The options every setup program runs with: only exit status 0 counts as installed, and a
// program still running after three minutes is taken as failed.
constexpr LONG kSetupExitRule = 1;
constexpr LONG kSetupTimeLimitMinutes = 3;

std::u16string DownloadDirectory() { return GetExtensionDataDirectory() + u"\\downloadtemp"; }

std::u16string MemberText(const CJsonValue& object, const char16_t* key) {
  auto it = object.GetObject().find(key);
  if (it == object.GetObject().end() || !it->second || !it->second->IsString()) return u"";
  return it->second->GetString();
}

bool IsRegularFileBelow(const std::u16string& folder, const char16_t* name) {
  return halcy::ProbeFileBelow(folder, name) == halcy::FileBelow::kRegularFile;
}

// Where the folder an installation replaces waits for the outcome: a name no id can take (ids
// never begin with ".").
std::u16string AsideFolder(const std::u16string& id) {
  return GetExtensionDataDirectory() + u"\\.guide-old-" + id;
}

// Moves the unpacked `staging` folder to the extension's own folder. An existing folder is
// moved aside until SettleReplacedFolder decides its fate.
bool MoveIntoPlace(const std::u16string& id, const std::u16string& staging,
                   std::u16string* folder) {
  const std::u16string target = GetExtensionDataDirectory() + u"\\" + id;
  const std::u16string aside = AsideFolder(id);
  DeletePath(aside, true);
  const bool had_old = PathFileExistsW(target.c_str());
  if (had_old && !MoveFileExW(target.c_str(), aside.c_str(), 0)) return false;
  if (!MoveFileExW(staging.c_str(), target.c_str(), 0)) {
    if (had_old) MoveFileExW(aside.c_str(), target.c_str(), 0);  // best effort: put it back
    return false;
  }
  *folder = target;
  return true;
}

// The browser counts its starts in the cache store entry "Pref_Browser_Start_Counter" (one
// decimal string). An application installed during the browser's first start was offered on
// the first bar the user saw: "FirstBar". A missing or unreadable counter never counts as first.
bool IsFirstBrowserStart() {
  const std::vector<std::u16string> counter =
      ReadCacheEntry(GetCacheStore().Get(), u"Pref_Browser_Start_Counter", 1);
  if (counter.empty() || counter[0].empty()) return false;
  for (char16_t c : counter[0]) {
    if (c < u'0' || c > u'9') return false;
  }
  return counter[0].size() <= 9 && LeadingDecimal(counter[0]) == 1;
}

}  // namespace

void CExtensionAppGuild::SettleReplacedFolder(const std::u16string& id, bool keep_new) {
  const std::u16string aside = AsideFolder(id);
  if (!PathFileExistsW(aside.c_str())) return;
  if (keep_new) {
    DeletePath(aside, true);
    return;
  }
  const std::u16string target = GetExtensionDataDirectory() + u"\\" + id;
  DeletePath(target, true);
  if (!MoveFileExW(aside.c_str(), target.c_str(), 0)) {
    Log(kLogFailure, u"ext;", u"guide: the earlier folder of %s stays at %s", id.c_str(),
        aside.c_str());
  }
}

ComPtr<ICarryInfo> CExtensionAppGuild::StartDownload(const std::u16string& id,
                                                     const std::u16string& url) {
  if (GetExtensionDataDirectory().empty()) return nullptr;
  const std::u16string directory = DownloadDirectory();
  CreateDirectoryW(directory.c_str(), nullptr);  // already there is as good
  ComPtr<ICarryInfo> info;
  if (FAILED(halcy::CreateComInstance<CCoCarryInfo>(nullptr, ICarryInfo::kIID,
                                                    info.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  if (!fetcher_ && FAILED(halcy::CreateComInstance<CCoNetFileFetcher>(
                       nullptr, INetFileFetcher::kIID, fetcher_.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  info->SetUrl(halcy::ScopedBstr(url).Get());
  info->SetFilePath(halcy::ScopedBstr(directory + u"\\" + id + u".zip").Get());
  info->SetListener(this);
  if (FAILED(fetcher_->AddTask(info.Get()))) {
    info->ClearListener();
    Log(kLogFailure, u"ext;", u"guide: download of %s did not start", id.c_str());
    return nullptr;
  }
  return info;
}

void CExtensionAppGuild::StartInstall(const std::u16string& id, const std::u16string& url,
                                      int times, bool resumed) {
  ComPtr<IExtensionMgr> manager = Manager();
  ComPtr<IExtensionAgent> agent;
  if (!manager ||
      FAILED(manager->GetExtensionAgent(halcy::ScopedBstr(id).Get(),
                                        agent.ReleaseAndGetAddressOf())) ||
      !agent) {
    Log(kLogFailure, u"ext;", u"guide: %s is not known to the extension manager", id.c_str());
    return;
  }
  {
    base::CAutoLock lock(lock_);
    auto it = installs_.find(id);
    if (it != installs_.end() && it->second.download) {
      Log(kLogDetail, u"ext;", u"guide: %s is already being downloaded", id.c_str());
      return;
    }
  }
  if (!NetworkCheck()) {
    if (resumed) {
      base::CAutoLock lock(lock_);
      installs_[id] = Installation{url, nullptr, times};
    }
    return;
  }
  ComPtr<ICarryInfo> download = StartDownload(id, url);
  {
    base::CAutoLock lock(lock_);
    installs_[id] = Installation{url, download, times};
  }
  if (!download) {
    Fail(id, u"IDS_HALCY_EXTENSIONGUILD_NET_ERROR", u"Download");
    return;
  }
  if (id == u"10001") Report(id, u"Install", IsFirstBrowserStart() ? u"FirstBar" : u"");
}

std::u16string CExtensionAppGuild::FindByDownload(ICarryInfo* info) {
  base::CAutoLock lock(lock_);
  for (const auto& [id, install] : installs_) {
    if (install.download.Get() == info) return id;
  }
  return u"";
}

std::u16string CExtensionAppGuild::TakeDownload(ICarryInfo* info) {
  const std::u16string id = FindByDownload(info);
  if (id.empty()) return id;
  {
    base::CAutoLock lock(lock_);
    installs_[id].download = nullptr;
  }
  info->ClearListener();
  if (fetcher_) fetcher_->RemoveTask(info);  // the download has ended; the fetcher lets it go
  return id;
}

HRESULT CExtensionAppGuild::OnCarryStatus(ICarryInfo* info, LONG status) {
  if (status != kDownloadComplete) return S_OK;
  Log(kLogProgress, u"oldlog;", u"收到文件下载完成消息\n");
  if (HandleFinishedPackage(info)) {
    Log(kLogProgress, u"oldlog;", u"收到某个服务器配置安装文件下载完成消息并处理完成\n");
  } else {
    Log(kLogProgress, u"oldlog;", u"收到文件下载完成消息但没得到正确的处理啊啊啊啊啊啊\n");
  }
  return S_OK;
}

HRESULT CExtensionAppGuild::OnCarryProgress(ICarryInfo* info, double received, double total) {
  if (FindByDownload(info).empty() || total <= 0) return S_OK;
  double percent = received * 100.0 / total;
  if (percent > 100.0) percent = 100.0;
  Post(Thread::kThreadUI, &CExtensionAppGuild::UpdateGuildProgress,
       u"&CExtensionAppGuild::UpdateGuildProgress",
       halcy::Utf8ToUtf16(std::to_string(static_cast<unsigned>(percent))));
  return S_OK;
}

HRESULT CExtensionAppGuild::OnCarryError(ICarryInfo* info, HRESULT /*error*/) {
  Log(kLogFailure, u"oldlog;", u"OnTaskError,有下载任务任务执行发生错误 \n");
  // The installation stays under way, without its download, until Stop saves it.
  const std::u16string id = TakeDownload(info);
  if (id.empty()) return S_OK;
  Fail(id, u"IDS_HALCY_EXTENSIONGUILD_NET_ERROR", u"Download");
  return S_OK;
}

bool CExtensionAppGuild::HandleFinishedPackage(ICarryInfo* info) {
  const std::u16string id = TakeDownload(info);
  if (id.empty()) return false;
  // A fresh staging folder, so that nothing of an earlier attempt mixes in.
  const std::u16string staging = DownloadDirectory() + u"\\" + id + u".unpack";
  DeletePath(staging, true);
  bool ok = UnzipPackage(DownloadDirectory() + u"\\" + id + u".zip", staging);
  if (!ok) Log(kLogFailure, u"ext;", u"guide: package of %s cannot be unpacked", id.c_str());
  std::u16string folder = staging;
  const bool has_setup = ok && IsRegularFileBelow(staging, u"setup.json");
  const bool has_manifest = ok && IsRegularFileBelow(staging, u"manifest.json");
  if (has_manifest && !MoveIntoPlace(id, staging, &folder)) {
    Log(kLogFailure, u"ext;", u"guide: package of %s cannot be moved into place", id.c_str());
    ok = false;
  }
  if (ok && has_setup) {
    ok = RunSetupProgram(id, folder);
    if (has_manifest) SettleReplacedFolder(id, ok);
  } else if (ok && has_manifest) {
    ok = InstallPackage(id, folder);  // settled by OnInstallResult when posted
    if (!ok) SettleReplacedFolder(id, false);
  } else if (ok) {
    Log(kLogFailure, u"ext;", u"guide: package of %s holds neither setup.json nor manifest.json",
        id.c_str());
    ok = false;
  }
  // A setup program runs from the staging folder and keeps it; a failed package leaves nothing.
  if (!has_manifest && (!ok || !has_setup)) DeletePath(staging, /*recursive=*/true);
  if (!ok) Fail(id, u"IDS_HALCY_EXTENSIONGUILD_INSTALL_FAIL", u"");
  return ok;
}

bool CExtensionAppGuild::InstallPackage(const std::u16string& id, const std::u16string& folder) {
  ComPtr<IExtensionMgr> manager = Manager();
  ComPtr<IExtensionInstaller> installer;
  if (!manager || FAILED(manager.As(&installer))) return false;
  // The result comes back through OnInstallDone.
  return installer->InstallExtension(halcy::ScopedBstr(id).Get(), 0, 1,
                                     halcy::ScopedBstr(folder).Get(), this) == S_OK;
}

bool CExtensionAppGuild::RunSetupProgram(const std::u16string& id, const std::u16string& folder) {
  std::string bytes;
  std::unique_ptr<CJsonValue> json;
  if (halcy::ReadFileBelow(folder, u"setup.json", kMaxSetupJsonBytes, &bytes) ==
      halcy::FileBelow::kRegularFile) {
    json = ParseJsonUtf8(bytes);
  }
  if (!json || !json->IsObject()) {
    Log(kLogFailure, u"ext;", u"guide: setup.json of %s is not a JSON object", id.c_str());
    return false;
  }
  const std::u16string setup = MemberText(*json, u"setup");
  std::string resolved;
  if (!IsPathInsideExtension(setup) ||
      halcy::ProbeFileBelow(folder, setup) != halcy::FileBelow::kRegularFile ||
      !halcy::ResolveFileInDirectory(folder, folder + u"\\" + setup, &resolved)) {
    Log(kLogFailure, u"ext;", u"guide: setup program \"%s\" of %s refused", setup.c_str(),
        id.c_str());
    return false;
  }
  if (!RunProgram(id, halcy::Utf8ToUtf16(resolved), MemberText(*json, u"param"))) return false;
  if (id == u"10001") Report(id, u"Startup");
  return true;
}

bool CExtensionAppGuild::RunProgram(const std::u16string& id, const std::u16string& program,
                                    const std::u16string& params) {
  ComPtr<IProgramTask> task;
  if (FAILED(Util::Com::CreateObjectByIID(IProgramTask::kIID, task.ReleaseAndGetVoidAddress())) ||
      !task) {
    Log(kLogFailure, u"ext;", u"guide: no program task for %s", id.c_str());
    return false;
  }
  if (!program_manager_ &&
      FAILED(Util::Com::CreateObjectByIID(IProgramTaskManager::kIID,
                                          program_manager_.ReleaseAndGetVoidAddress()))) {
    Log(kLogFailure, u"ext;", u"guide: no program task manager");
    return false;
  }
  task->SetProgram(halcy::ScopedBstr(program).Get());
  task->SetParameters(halcy::ScopedBstr(params).Get());
  task->SetListener(this);
  task->SetOptions(kSetupExitRule, kSetupTimeLimitMinutes);
  programs_[task.Get()] = {task, id};
  if (FAILED(program_manager_->AddTask(task.Get()))) {
    programs_.erase(task.Get());
    return false;
  }
  return true;
}

HRESULT CExtensionAppGuild::OnProgressFinish(IProgramTask* task) {
  Log(kLogProgress, u"oldlog;", u"OnProgressFinish,有任务执行成功 \n");
  auto it = programs_.find(task);
  if (it == programs_.end()) return S_OK;
  const std::u16string id = it->second.second;
  programs_.erase(it);
  Forget(id);
  Report(id, u"InstallSuccess");
  return S_OK;
}

HRESULT CExtensionAppGuild::OnProgressError(IProgramTask* task, LONG error) {
  Log(kLogFailure, u"oldlog;", u"OnProgressError,有任务执行发生错误 \n");
  auto it = programs_.find(task);
  if (it == programs_.end()) return S_OK;
  const std::u16string id = it->second.second;
  programs_.erase(it);
  Log(kLogFailure, u"ext;", u"guide: program of %s failed (%d)", id.c_str(), error);
  Fail(id, u"IDS_HALCY_EXTENSIONGUILD_INSTALL_FAIL", u"Abead");
  return S_OK;
}

}  // namespace Logic
