// CExtensionTracker: the object's slots, the start timer, the two list requests and their
// replies, and the stop. The lists, downloads and installs are in tracker_downloads.cc, the
// built-in refresh in tracker_builtin.cc.

#include "update/extension_tracker.h"

#include <string>

#include "common/log.h"
#include "common/paths.h"
#include "extension/extension_mgr_impl.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/strings.h"
#include "platform/timer.h"
#include "thread/thread_post.h"
#include "update/net_file_fetcher.h"
#include "update/timer_callback.h"
#include "update/tracker_support.h"

namespace Logic {
namespace {

constexpr char16_t kTag[] = u"ext;";
constexpr size_t kMaxServerUrl = 512;

std::u16string ConfigFile() { return GetBrowserDirectory() + u"\\extensionMgrConfig.ini"; }

bool ConfigExists() {
  const DWORD attributes = GetFileAttributesW(ConfigFile().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Posts `method` of `tracker` to the thread of `kind` under its exact name.
template <class Method, class... A>
void Post(int kind, CExtensionTracker* tracker, Method method, const char16_t* name, A&&... args) {
  if (Thread::CTask* task = Thread::NewTask(tracker, method, name, std::forward<A>(args)...)) {
    Thread::PostTask(kind, task);
  }
}

}  // namespace

CExtensionTracker::CExtensionTracker() : timer_callback_(halcy::MakeComObject<CTimerCallback>()) {}

CExtensionTracker::~CExtensionTracker() = default;

HRESULT CExtensionTracker::SetExtensionMgr(CExtensionMgrImpl* manager) {
  manager_ = base::RefPtr<CExtensionMgrImpl>(manager);
  if (manager) manager->RegisterTracker(this);
  return S_OK;
}

HRESULT CExtensionTracker::Start() {
  stopped_.store(false);
  if (!ConfigExists()) return S_OK;  // no configuration: the tracker stays idle
  const INT delay = static_cast<INT>(
      GetPrivateProfileIntW(u"generalinfo", u"trackerdelay", 0, ConfigFile().c_str()));
  if (delay == 0) {
    StartWork();
    return S_OK;
  }
  ComPtr<CExtensionTracker> self(this);
  timer_callback_->SetTarget([self](UINT timer_id) {
    if (timer_id != kTrackerTimerId) return;
    Util::Common::Timer::EraseTimerCallback(self->timer_callback_.Get(), kTrackerTimerId);
    Post(Thread::kThreadExtensionManager, self.Get(), &CExtensionTracker::_StartWork_Internal,
         u"&CExtensionTracker::_StartWork_Internal");
  });
  Post(Thread::kThreadUI, this, &CExtensionTracker::_StartTimer, u"&CExtensionTracker::_StartTimer",
       static_cast<UINT>(delay));
  return S_OK;
}

void CExtensionTracker::_StartTimer(UINT elapse) {
  if (stopped_.load()) return;
  Util::Common::Timer::SetOneTimer(elapse, timer_callback_.Get(), kTrackerTimerId);
}

void CExtensionTracker::_StartWork_Internal() {
  if (!manager_ || stopped_.load()) return;
  StartWork();
}

void CExtensionTracker::StartWork() {
  constexpr int kManager = Thread::kThreadExtensionManager;
  Post(kManager, this, &CExtensionTracker::CheckLocalSelectedExtensions,
       u"&CExtensionTracker::CheckLocalSelectedExtensions");
  Post(kManager, this, &CExtensionTracker::CheckServerFAndRExtensions,
       u"&CExtensionTracker::CheckServerFAndRExtensions");
  Post(kManager, this, &CExtensionTracker::CheckExtensionsUpdate,
       u"&CExtensionTracker::CheckExtensionsUpdate");
}

HRESULT CExtensionTracker::Stop() {
  stopped_.store(true);
  timer_callback_->ClearTarget();  // also breaks the callback's reference on the tracker
  Post(Thread::kThreadUI, this, &CExtensionTracker::EraseTimerInUIThread,
       u"&CExtensionTracker::EraseTimerInUIThread");
  Post(Thread::kThreadExtensionManager, this, &CExtensionTracker::_StopWork_Internal,
       u"&CExtensionTracker::_StopWork_Internal");
  return S_OK;
}

void CExtensionTracker::EraseTimerInUIThread() {
  Util::Common::Timer::EraseTimerCallback(timer_callback_.Get(), kTrackerTimerId);
}

void CExtensionTracker::_StopWork_Internal() {
  if (fetcher_) fetcher_->RemoveAllTasks();
  fetcher_ = nullptr;
  // Downloads that the fetcher no longer holds still have the tracker as their listener.
  for (TrackerWorkList* list : {&local_list_, &server_list_, &update_list_}) {
    for (auto& [id, item] : *list) {
      if (item.download) item.download->ClearListener();
    }
    list->clear();
  }
  timer_callback_->ClearTarget();
  manager_ = nullptr;
}

void CExtensionTracker::CheckServerFAndRExtensions() {
  if (!manager_ || stopped_.load() || !ConfigExists()) return;
  setup_request_.store(PostListRequest("&comp_names=extsetup"));
}

void CExtensionTracker::CheckExtensionsUpdate() {
  if (!manager_ || stopped_.load() || !ConfigExists()) return;
  update_request_.store(PostListRequest("&comp_names=extupdate"));
}

LONG CExtensionTracker::PostListRequest(const char* comp_name) {
  std::u16string url(kMaxServerUrl + 1, u'\0');
  url.resize(GetPrivateProfileStringW(u"extUpdate", u"url", u"", url.data(),
                                      static_cast<DWORD>(url.size()), ConfigFile().c_str()));
  if (url.empty()) return -1;
  const std::string body =
      halcy::Utf16ToUtf8(BuildRequestQuery(manager_->GetBrowserVersion())) + comp_name;
  return PostFormToServer(url, body, this);
}

void CExtensionTracker::OnHttpReply(LONG request_id, const std::u16string& text) {
  Log(kLogTrace, kTag, u"extlist:task complete %s", text.c_str());
  if (text.size() <= kShortestListReply) return;
  Post(Thread::kThreadExtensionManager, this, &CExtensionTracker::OnDownloadCompleteInExtMgrThread,
       u"&CExtensionTracker::OnDownloadCompleteInExtMgrThread", request_id, text);
}

void CExtensionTracker::OnDownloadCompleteInExtMgrThread(LONG request_id, std::u16string text) {
  if (!manager_ || stopped_.load()) return;
  const std::u16string payload = !text.empty() && text[0] == u'<' ? ExtractXmlResult(text) : text;
  if (request_id == setup_request_.load()) {
    ProcessSetupList(payload);
  } else if (request_id == update_request_.load()) {
    ProcessUpdateList(payload);
  }
}

}  // namespace Logic
