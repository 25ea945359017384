// CExtensionTracker: keeps the installed extensions current and installs the extensions the
// browser is told to install. Its work comes from four sources: the local selection file
// ("LocalSelectedExtensions.json"), the update server's setup list ("extsetup") and update list
// ("extupdate"), and the built-in set shipped beside the browser. Packages are fetched with the
// network file fetcher, checked (an optional "sha256"), unpacked into a fresh staging folder
// under "downloadtemp" or "updatetemp", and handed to the manager's install or update task.
//
//   ComPtr<IExtensionTracker> tracker = ...;  // created by CLSID through the class table
//   tracker->SetExtensionMgr(manager);        // counted; also registers the tracker
//   tracker->Start();                         // at once, or after timer 8083 ("trackerdelay")
//   ...
//   tracker->Stop();                          // timer erased, downloads stopped, lists emptied
//
// Threads: Start, Stop and CheckBuiltinExtensions are called on the extension-manager thread;
// the timer is set and erased on the UI thread; every check, reply, download completion and
// the stop work run on the extension-manager thread as named tasks, so the lists need no lock.
// OnHttpReply runs on the network worker thread and only logs and posts. Every posted task
// holds a reference on the tracker until it has run.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "base/ref_counted.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "update/carry_info.h"
#include "update/ext_service_shared.h"
#include "update/http_post.h"

namespace Logic {

class CExtensionMgrImpl;
class CTimerCallback;
struct INetFileFetcher;

struct IExtensionTracker : IUnknown {
  static constexpr IID kIID = kIID_IExtensionTracker;
  // 3: keeps a counted reference on `manager` (replacing an earlier one) and registers the
  // tracker with it. Null releases the manager.
  virtual HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) = 0;
  // 4: reads "trackerdelay" and starts the checks at once (0) or when timer 8083 fires.
  virtual HRESULT Start() = 0;
  // 5: erases the timer (UI thread) and stops every download, releases the fetcher and the
  // manager and empties the work lists (extension-manager thread). Safe at any point.
  virtual HRESULT Stop() = 0;
  // 6: the built-in refresh: newer shipped copies replace the user's. S_OK.
  virtual HRESULT CheckBuiltinExtensions() = 0;
};

// The timer of the delayed start.
inline constexpr UINT kTrackerTimerId = 8083;
// Replies of at most this many characters carry no list and are dropped.
inline constexpr size_t kShortestListReply = 55;

// One extension to install or update.
struct TrackerWorkItem {
  LONG skip = 0;  // 1: nothing to do (installed, or handed to the manager)
  std::u16string url;
  ComPtr<ICarryInfo> download;  // the running or finished download; null before it starts
  LONG reserved1 = 0;
  LONG state = 1;
  LONG type = 0;
  LONG reserved2 = 0;
  std::u16string sha256;   // 64 lower-case hex digits, or empty when the entry named none
  std::u16string version;  // update list: the version the package brings
};

using TrackerWorkList = std::map<std::u16string, TrackerWorkItem>;

// Replaces the installed folder of `id` with `shipped_dir`, keeping the old one as
// "<installed_dir>backups"; when the new copy names a native library, `old_library` goes on the
// unload list. False, with the installed folder as it was, when the copy fails.
bool UpdateExtMgrDBData(const std::u16string& id, const std::u16string& shipped_dir,
                        const std::u16string& installed_dir, const std::u16string& old_library,
                        bool new_has_library);

class CExtensionTracker : public halcy::ComObjectRoot,
                          public IExtensionTracker,
                          public IExtServiceShared1,
                          public IExtServiceShared2,
                          public IHttpPostListener,
                          public ICarryListener,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionTracker)
  HALCY_INTERFACE(CExtensionTracker, IExtensionTracker)
  HALCY_INTERFACE(CExtensionTracker, IExtServiceShared1)
  HALCY_INTERFACE(CExtensionTracker, IExtServiceShared2)
  HALCY_INTERFACE(CExtensionTracker, IHttpPostListener)
  HALCY_INTERFACE(CExtensionTracker, ICarryListener)
  HALCY_INTERFACE(CExtensionTracker, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CExtensionTracker();
  ~CExtensionTracker();

  // IExtensionTracker
  HRESULT SetExtensionMgr(CExtensionMgrImpl* manager) override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT CheckBuiltinExtensions() override;

  // IHttpPostListener: network worker thread; logs and posts the reply when it is long enough.
  void OnHttpReply(LONG request_id, const std::u16string& text) override;

  // ICarryListener: extension-manager thread. Status 3 (finished) installs the package.
  HRESULT OnCarryStatus(ICarryInfo* info, LONG status) override;
  HRESULT OnCarryProgress(ICarryInfo* info, double received, double total) override;
  HRESULT OnCarryError(ICarryInfo* info, HRESULT error) override;

  // --- Tasks (named "&CExtensionTracker::<function>") ---
  void _StartTimer(UINT elapse);  // UI thread
  void _StartWork_Internal();     // extension-manager thread, posted when the timer fires
  void CheckLocalSelectedExtensions();
  void CheckServerFAndRExtensions();
  void CheckExtensionsUpdate();
  void OnDownloadCompleteInExtMgrThread(LONG request_id, std::u16string text);
  void EraseTimerInUIThread();
  void _StopWork_Internal();

  // The work lists, for tests (extension-manager thread only).
  const TrackerWorkList& local_list() const { return local_list_; }
  const TrackerWorkList& server_list() const { return server_list_; }
  const TrackerWorkList& update_list() const { return update_list_; }

 private:
  enum class ListKind { kLocal, kServer, kUpdate };

  // The work step: posts the three checks in order.
  void StartWork();
  // Posts one of the two list requests; returns its request id (or -1).
  LONG PostListRequest(const char* comp_name);
  void ProcessSetupList(const std::u16string& payload);
  void ProcessUpdateList(const std::u16string& payload);
  // Marks installed entries (not for the update list) and starts the downloads; returns how
  // many started.
  int MarkAndDownload(TrackerWorkList* list, bool mark);
  bool StartDownload(const std::u16string& id, TrackerWorkItem* item);
  // Finds the item whose download is `info`.
  TrackerWorkItem* FindDownload(ICarryInfo* info, std::u16string* id, ListKind* kind);
  void InstallDownloaded(const std::u16string& id, TrackerWorkItem* item, ListKind kind);
  bool IsInstalled(const std::u16string& id);
  // The copy step of the built-in refresh; false when some extension could not be copied.
  bool CopyBuiltinExtensions(const std::u16string& shipped_db);

  // Extension-manager thread only.
  base::RefPtr<CExtensionMgrImpl> manager_;
  ComPtr<INetFileFetcher> fetcher_;
  TrackerWorkList local_list_;
  TrackerWorkList server_list_;
  TrackerWorkList update_list_;
  std::u16string last_file_;  // the last list file read, for the log

  // Constant after construction.
  ComPtr<CTimerCallback> timer_callback_;

  // Written on the extension-manager thread, read on the network thread.
  std::atomic<LONG> setup_request_{-1};
  std::atomic<LONG> update_request_{-1};
  // Set by Stop (extension-manager thread), read by the UI-thread timer task.
  std::atomic<bool> stopped_{false};
};

}  // namespace Logic
