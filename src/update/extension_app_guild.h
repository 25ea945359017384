// The application install guide: installs recommended applications and application-type
// extensions on the user's request, shows progress and result messages in the guide's pop-up
// (update/guild_popup.h), runs an application's setup program after its package arrives
// (update/program_task.h), and tries unfinished installations again at the next start
// ("UnFinishTask.ini", update/unfinished_task_list.h).
//
//   guild->SetExtensionMgr(mgr);          // E_FAIL without "extensionMgrConfig.ini"
//   guild->Start();                       // timer 8084: unfinished installations in 5 s
//   guild->InstallByExId(u"10001", u"http://apps.example.test/reader.zip");
//   ...
//   guild->Stop();                        // saves what is still under way
//
// An installation: network check (probe address from "extensionMgrConfig.ini", section
// "guide", key "probe"), download into "downloadtemp", unpack into a fresh staging folder
// there, then either the package's setup program ("setup.json": "setup", "param") or the
// manager's install of the folder, which moves into place only when it holds "manifest.json".
// Ids from outside must pass CheckExtensionId; a setup program must be a regular file inside
// the unpacked folder, reached without a link.
//
// Threads: the interface methods may be called from any thread and only post; all guide state
// lives on the extension-manager thread (download, program and install reports arrive there),
// the timer and the pop-up on the UI thread. The installations under way and the manager are
// guarded by lock_ for the getter. REQUIRES for Stop: the extension-manager thread (the
// manager stops the guide from its shut-down task), since it ends the guide's downloads.
#pragma once

#include <map>
#include <string>

#include "base/lock.h"
#include "base/thread_annotations.h"
#include "extension/extension_installer.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "thread/thread_post.h"
#include "update/carry_info.h"
#include "update/ext_service_shared.h"
#include "update/program_task.h"

namespace Logic {

struct IExtensionMgr;
struct INetFileFetcher;
class CTimerCallback;

struct IExtensionAppGuild : IUnknown {
  static constexpr IID kIID = kIID_IExtensionAppGuild;
  // 3: E_FAIL when "extensionMgrConfig.ini" is missing beside the executable; else keeps it.
  virtual HRESULT SetExtensionMgr(IExtensionMgr* manager) = 0;
  // 4: stops the download of `id` and forgets the installation.
  virtual HRESULT CancelInstall(BSTR id) = 0;
  // 5: runs the program of the installed application `id` (its "regpath" program).
  virtual HRESULT ExcuteProgramByExId(BSTR id) = 0;
  // 6: installs `id` from the package at `url`; E_UNEXPECTED from a guide without its manager.
  virtual HRESULT InstallByExId(BSTR id, BSTR url) = 0;
  // 7: erases the start timer and saves the installations under way.
  virtual HRESULT Stop() = 0;
  // 8: the number of installations under way.
  virtual HRESULT GetInstallCount(LONG* count) = 0;
  // 9: sets the start timer (8084) that retries unfinished installations.
  virtual HRESULT Start() = 0;
  // 10: the outcome of the manager's install of `id`: message and usage report.
  virtual HRESULT OnInstallResult(BSTR id, BOOL success) = 0;
  // 11: {"id":"...","url":"..."}: opens a new window and installs.
  virtual HRESULT InstallFromFECommand(BSTR command) = 0;
};

// Timer id and default delay of the start timer.
inline constexpr UINT kGuildStartTimerId = 8084;
inline constexpr UINT kGuildStartDelayMs = 5000;

class CExtensionAppGuild : public halcy::ComObjectRoot,
                           public IExtensionAppGuild,
                           public IExtServiceShared1,
                           public IExtServiceShared2,
                           public ICarryListener,
                           public IProgramTaskListener,
                           public IExtensionInstallCallback,
                           public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionAppGuild)
  HALCY_INTERFACE(CExtensionAppGuild, IExtensionAppGuild)
  HALCY_INTERFACE(CExtensionAppGuild, IExtServiceShared1)
  HALCY_INTERFACE(CExtensionAppGuild, IExtServiceShared2)
  HALCY_INTERFACE(CExtensionAppGuild, ICarryListener)
  HALCY_INTERFACE(CExtensionAppGuild, IProgramTaskListener)
  HALCY_INTERFACE(CExtensionAppGuild, IExtensionInstallCallback)
  HALCY_INTERFACE(CExtensionAppGuild, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CExtensionAppGuild();
  ~CExtensionAppGuild();

  // IExtensionAppGuild
  HRESULT SetExtensionMgr(IExtensionMgr* manager) override;
  HRESULT CancelInstall(BSTR id) override;
  HRESULT ExcuteProgramByExId(BSTR id) override;
  HRESULT InstallByExId(BSTR id, BSTR url) override;
  HRESULT Stop() override;
  HRESULT GetInstallCount(LONG* count) override;
  HRESULT Start() override;
  HRESULT OnInstallResult(BSTR id, BOOL success) override;
  HRESULT InstallFromFECommand(BSTR command) override;

  // ICarryListener, on the extension-manager thread.
  HRESULT OnCarryStatus(ICarryInfo* info, LONG status) override;
  HRESULT OnCarryProgress(ICarryInfo* info, double received, double total) override;
  HRESULT OnCarryError(ICarryInfo* info, HRESULT error) override;
  // IProgramTaskListener, on the extension-manager thread.
  HRESULT OnProgressFinish(IProgramTask* task) override;
  HRESULT OnProgressError(IProgramTask* task, LONG error) override;
  // IExtensionInstallCallback: the manager's install result, on the extension-manager thread.
  HRESULT OnInstallDone(BSTR extension_id, HRESULT result) override;

  // The start timer's delay; tests shorten it. Call before Start.
  void SetStartDelayForTesting(UINT delay_ms) { start_delay_ms_ = delay_ms; }

  // Tasks (named after the member-function references).
  void CancelInstallInExtMgrThread(std::u16string id);
  void ExcuteProgramByExIdExtMgrThread(std::u16string id);
  void InstallByExIdInExtMgrThread(std::u16string id, std::u16string url);
  void _InstallFromFECommandInExtMgrThread(std::u16string command);
  void _StartTimer();
  void _EraseTimerInUIThread();
  void _StartUnFinishTask();
  void PopupGuildMsg(std::u16string text);
  void UpdateGuildProgress(std::u16string figure);
  void NewWindow(std::u16string url);

 private:
  struct Installation {
    std::u16string url;
    ComPtr<ICarryInfo> download;  // null once the download ended or when it never started
    int times = 0;
  };
  using InstallMap = std::map<std::u16string, Installation>;

  // Posts the task `name` that runs `method` on this guide, to the thread of `kind`.
  template <class Method, class... A>
  void Post(int kind, Method method, const char16_t* name, A&&... args) {
    if (Thread::CTask* task = Thread::NewTask(this, method, name, std::forward<A>(args)...)) {
      Thread::PostTask(kind, task);  // takes the task whatever the result
    }
  }

  // Starts the download of `id`; `times` is its attempt count. A resumed installation whose
  // network check fails is still kept, so that its attempts keep counting.
  void StartInstall(const std::u16string& id, const std::u16string& url, int times, bool resumed);
  bool NetworkCheck();
  ComPtr<ICarryInfo> StartDownload(const std::u16string& id, const std::u16string& url);
  bool HandleFinishedPackage(ICarryInfo* info);
  // Deletes the folder an installation moved aside (`keep_new`), or puts it back.
  void SettleReplacedFolder(const std::u16string& id, bool keep_new);
  bool InstallPackage(const std::u16string& id, const std::u16string& folder);
  bool RunSetupProgram(const std::u16string& id, const std::u16string& folder);
  bool RunProgram(const std::u16string& id, const std::u16string& program,
                  const std::u16string& params);
  void ResumeEntry(const struct UnFinishTask& task, bool* remove);
  bool NeedsPackage(const std::u16string& id, bool application);
  void ShowMessage(const char16_t* resource_name);
  void Report(const std::u16string& id, const char16_t* action, const char16_t* style = u"");
  void Fail(const std::u16string& id, const char16_t* message, const char16_t* style);
  // The id of the installation whose download is `info` ("" for none).
  std::u16string FindByDownload(ICarryInfo* info);
  // Detaches the ended download `info` from its installation (which stays under way) and lets
  // the fetcher drop it; the installation's id, or "" for none.
  std::u16string TakeDownload(ICarryInfo* info);
  void Forget(const std::u16string& id);
  ComPtr<IExtensionMgr> Manager();
  std::u16string TaskListPath() const;

  base::CLock lock_;
  ComPtr<IExtensionMgr> manager_ GUARDED_BY(lock_);
  InstallMap installs_ GUARDED_BY(lock_);
  // Extension-manager thread only.
  ComPtr<INetFileFetcher> fetcher_;
  ComPtr<IProgramTaskManager> program_manager_;
  std::map<IProgramTask*, std::pair<ComPtr<IProgramTask>, std::u16string>> programs_;
  // Constant after construction (but for the testing setter).
  ComPtr<CTimerCallback> timer_callback_;
  UINT start_delay_ms_ = kGuildStartDelayMs;
};

// Whether `id` names an application: its decimal value lies between 10001 and 99999.
bool IsApplicationNumber(const std::u16string& id);

}  // namespace Logic
