#include "host/download_engine.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <random>
#include <string_view>
#include <utility>

#include "host/outstanding_work.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/proxy_environment.h"
#include "platform/strings.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;
using Logic::IDownloadEvents;

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr long kMaxRedirects = 20;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallSeconds = 60;  // a server that sends nothing for this long has failed
constexpr int kPollMilliseconds = 1000;

void InitCurlOnce() {
  static std::once_flag once;
  // The result is not checked: curl_easy_init fails later, and that is reported per download.
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// An address curl may see: no control characters or spaces (curl would refuse or, worse,
// send them on), and not empty.
bool IsUsableUrl(std::string_view url) {
  if (url.empty()) return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Creates "<target>.part-XXXXXX" exclusively, without following a link; -1 with errno set.
int CreateTempBeside(const std::string& target, std::string* temp_path) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = target + ".part-";
    for (int i = 0; i < 6; ++i) path.push_back(kChars[pick(random)]);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      *temp_path = std::move(path);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// One download. The worker thread owns the transfer; the engine object may go away first.
struct CDownloadEngine::Job {
  // Constant after construction
  std::string url;
  std::string target;  // native path
  std::string proxy;   // "" for a direct connection
  std::string no_proxy;
  curl_off_t max_bytes = 0;
  std::shared_ptr<halcy::ConnectionSinkList> sinks;

  std::atomic<bool> stop_requested{false};

  std::mutex mutex;
  std::condition_variable cv;
  bool silenced = false;      // Guarded by mutex: no event is delivered any more
  bool firing = false;        // Guarded by mutex: the worker is inside a sink call
  bool finished = false;      // Guarded by mutex: the worker has returned from its last event
  std::thread::id worker_id;  // Guarded by mutex
  CURLM* multi = nullptr;     // Guarded by mutex: for waking the worker's poll

  // Worker-thread state
  int fd = -1;
  std::string temp_path;
  curl_off_t received = 0;
  curl_off_t total = 0;
  bool reported_receiving = false;
  bool too_large = false;
  bool file_error = false;
  Clock::time_point last_progress;

  // Calls `call(IDownloadEvents*)` on every sink unless the download was stopped.
  template <class F>
  void Fire(F&& call) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (silenced) return;
      firing = true;
    }
    sinks->Fire<IDownloadEvents>(call);
    {
      std::lock_guard<std::mutex> lock(mutex);
      firing = false;
    }
    cv.notify_all();
  }

  // Stops the transfer and the events. Waits for an event call in progress to return, unless
  // called from inside it (on the worker). True when called on the worker thread.
  bool Silence() {
    stop_requested.store(true);
    std::unique_lock<std::mutex> lock(mutex);
    silenced = true;
    if (multi) curl_multi_wakeup(multi);
    const bool on_worker = worker_id == std::this_thread::get_id();
    if (!on_worker) cv.wait(lock, [this] { return !firing; });
    return on_worker;
  }

  void RemoveTemp() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!temp_path.empty()) unlink(temp_path.c_str());
    temp_path.clear();
  }

  void Run();
  bool Transfer(CURL* easy, CURLcode* result);
  void ConfigureEasy(CURL* easy);
  void Finish(CURLcode result, CURL* easy);
  void Fail(HRESULT error);
  size_t OnData(const char* data, size_t size);
  int OnTransferInfo(curl_off_t dltotal);
  HRESULT ErrorFor(CURLcode result, CURL* easy) const;
};

namespace {

size_t WriteCallback(char* data, size_t size, size_t count, void* job) {
  return static_cast<CDownloadEngine::Job*>(job)->OnData(data, size * count);
}

int TransferInfoCallback(void* job, curl_off_t dltotal, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<CDownloadEngine::Job*>(job)->OnTransferInfo(dltotal);
}

}  // namespace

size_t CDownloadEngine::Job::OnData(const char* data, size_t size) {
  if (stop_requested.load()) return 0;
  if (static_cast<curl_off_t>(size) > max_bytes - received) {
    too_large = true;
    return 0;
  }
  if (!reported_receiving) {
    reported_receiving = true;
    Fire([](IDownloadEvents* sink) { sink->OnStatusChange(Logic::kDownloadReceiving); });
  }
  if (!WriteAll(fd, data, size)) {
    file_error = true;
    return 0;
  }
  received += static_cast<curl_off_t>(size);
  return size;
}

int CDownloadEngine::Job::OnTransferInfo(curl_off_t dltotal) {
  if (stop_requested.load()) return 1;  // aborts the transfer
  if (dltotal > max_bytes) {
    too_large = true;
    return 1;
  }
  total = dltotal;
  const Clock::time_point now = Clock::now();
  if (received == 0 || now - last_progress < kProgressInterval) return 0;
  last_progress = now;
  const double got = static_cast<double>(received);
  const double size = static_cast<double>(total);
  Fire([got, size](IDownloadEvents* sink) { sink->OnProgress(got, size); });
  return 0;
}

void CDownloadEngine::Job::ConfigureEasy(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, no_proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, max_bytes);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &TransferInfoCallback);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
}

// Runs the transfer on a multi handle, so that Stop can wake the wait at once. False when it
// was stopped; otherwise `result` is curl's verdict.
bool CDownloadEngine::Job::Transfer(CURL* easy, CURLcode* result) {
  *result = CURLE_FAILED_INIT;
  CURLM* handle = curl_multi_init();
  if (!handle) return !stop_requested.load();
  {
    std::lock_guard<std::mutex> lock(mutex);
    multi = handle;
  }
  curl_multi_add_handle(handle, easy);
  int running = 1;
  while (!stop_requested.load()) {
    if (curl_multi_perform(handle, &running) != CURLM_OK || !running) break;
    if (curl_multi_poll(handle, nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) break;
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(handle, &left)) {
    if (message->msg == CURLMSG_DONE) *result = message->data.result;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    multi = nullptr;
  }
  curl_multi_remove_handle(handle, easy);
  curl_multi_cleanup(handle);
  return !stop_requested.load();
}

HRESULT CDownloadEngine::Job::ErrorFor(CURLcode result, CURL* easy) const {
  if (too_large) return Logic::kDownloadTooLarge;
  if (file_error) return Logic::kDownloadFileError;
  switch (result) {
    case CURLE_HTTP_RETURNED_ERROR: {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      return status >= 400 ? Logic::HttpStatusError(status) : E_FAIL;
    }
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return Logic::kDownloadCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return Logic::kDownloadTimedOut;
    case CURLE_FILESIZE_EXCEEDED:
      return Logic::kDownloadTooLarge;
    case CURLE_TOO_MANY_REDIRECTS:
      return Logic::kDownloadTooManyRedirects;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return Logic::kDownloadBadUrl;
    case CURLE_OUT_OF_MEMORY:
      return E_OUTOFMEMORY;
    default:
      return E_FAIL;
  }
}

void CDownloadEngine::Job::Fail(HRESULT error) {
  RemoveTemp();
  Fire([error](IDownloadEvents* sink) { sink->OnError(error); });
  Fire([](IDownloadEvents* sink) { sink->OnStatusChange(Logic::kDownloadFailed); });
}

void CDownloadEngine::Job::Finish(CURLcode result, CURL* easy) {
  if (result != CURLE_OK) return Fail(ErrorFor(result, easy));
  // Closing reports delayed write errors; only a file that is whole gets the target's name.
  const int closing = std::exchange(fd, -1);
  if (close(closing) != 0 || rename(temp_path.c_str(), target.c_str()) != 0) {
    return Fail(Logic::kDownloadFileError);
  }
  temp_path.clear();
  const double size = static_cast<double>(received);
  Fire([size](IDownloadEvents* sink) { sink->OnProgress(size, size); });
  Fire([](IDownloadEvents* sink) { sink->OnStatusChange(Logic::kDownloadComplete); });
}

void CDownloadEngine::Job::Run() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    worker_id = std::this_thread::get_id();
  }
  Fire([](IDownloadEvents* sink) { sink->OnStatusChange(Logic::kDownloadConnecting); });
  CURL* easy = curl_easy_init();
  fd = easy ? CreateTempBeside(target, &temp_path) : -1;
  if (!easy || fd < 0) {
    Fail(easy ? Logic::kDownloadFileError : E_OUTOFMEMORY);
  } else {
    ConfigureEasy(easy);
    CURLcode result;
    if (Transfer(easy, &result)) {
      Finish(result, easy);
    } else {
      RemoveTemp();  // stopped: no event
    }
  }
  if (easy) curl_easy_cleanup(easy);
  RemoveTemp();
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  EndWork(WorkKind::kDownload);  // after the last event
}

HRESULT CDownloadEngine::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CDownloadEngine>(nullptr, iid, out);
}

CDownloadEngine::CDownloadEngine()
    : sinks_(std::make_shared<halcy::ConnectionSinkList>(IDownloadEvents::kIID)) {}

CDownloadEngine::~CDownloadEngine() = default;

void CDownloadEngine::FinalRelease() {
  StopJob(/*abort=*/true);
  sinks_->Clear();
}

HRESULT CDownloadEngine::SetUrl(BSTR url) {
  if (!url || SysStringLen(url) == 0) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  url_.assign(url, SysStringLen(url));
  return S_OK;
}

HRESULT CDownloadEngine::SetFilePath(BSTR path) {
  if (!path || SysStringLen(path) == 0) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  path_.assign(path, SysStringLen(path));
  return S_OK;
}

HRESULT CDownloadEngine::Start() {
  InitCurlOnce();
  // Read here, on the caller's thread: the worker never reads the environment.
  const halcy::ProxyEnvironment proxy = halcy::ReadProxyEnvironment();
  std::lock_guard<std::mutex> lock(mutex_);
  if (url_.empty() || path_.empty()) return E_INVALIDARG;
  if (worker_.joinable()) {
    bool finished;
    {
      std::lock_guard<std::mutex> job_lock(job_->mutex);
      finished = job_->finished;
    }
    if (!finished) return E_UNEXPECTED;
    worker_.join();  // returning from its last event: a short wait
  }
  auto job = std::make_shared<Job>();
  job->url = halcy::Utf16ToUtf8(url_);
  job->target = halcy::ToNativePath(path_);
  if (job->target.empty() || job->target.back() == '/' ||
      job->target.find('\0') != std::string::npos || !IsUsableUrl(job->url)) {
    return E_INVALIDARG;
  }
  job->proxy = proxy.ForScheme(StartsWithNoCase(job->url, "https:") ? "https" : "http");
  job->no_proxy = proxy.no_proxy;
  job->max_bytes = max_bytes_;
  job->sinks = sinks_;
  BeginWork(WorkKind::kDownload);  // ended by the worker's Run
  try {
    worker_ = std::thread([job] { job->Run(); });
  } catch (...) {  // no thread could be made; nothing crosses the interface
    EndWork(WorkKind::kDownload);
    job_ = nullptr;
    return E_OUTOFMEMORY;
  }
  job_ = std::move(job);
  return S_OK;
}

bool CDownloadEngine::StopJob(bool abort) {
  std::shared_ptr<Job> job;
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job = std::move(job_);
    worker = std::move(worker_);
  }
  if (!job) return false;
  const bool on_worker = job->Silence();
  if (worker.joinable()) {
    if (abort || on_worker) {
      worker.detach();  // it holds `job` and ends on its own, silently
    } else {
      worker.join();
    }
  }
  return true;
}

HRESULT CDownloadEngine::Stop(VARIANT_BOOL abort) {
  return StopJob(abort != VARIANT_FALSE) ? S_OK : S_FALSE;
}

HRESULT CDownloadEngine::EnumConnectionPoints(IEnumConnectionPoints** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;  // enumeration is not modelled (platform/connection_point.h)
}

HRESULT CDownloadEngine::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IDownloadEvents::kIID) return CONNECT_E_NOCONNECTION;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT CDownloadEngine::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = IDownloadEvents::kIID;
  return S_OK;
}

HRESULT CDownloadEngine::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

HRESULT CDownloadEngine::Advise(IUnknown* sink, DWORD* cookie) {
  return sinks_->Advise(sink, cookie);
}

HRESULT CDownloadEngine::Unadvise(DWORD cookie) { return sinks_->Unadvise(cookie); }

HRESULT CDownloadEngine::EnumConnections(IEnumConnections** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;  // enumeration is not modelled (platform/connection_point.h)
}

}  // namespace host
