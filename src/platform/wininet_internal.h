// The pieces behind the WinINet stand-in (platform/wininet.h), shared by its files: the
// handle records, one libcurl transfer, the process-wide handle table with its worker
// thread, and the URL splitter.
//
// Thread contract: one mutex (`Registry::mu`) guards the table, every mutable field of every
// handle and the worker's command queue. libcurl handles belong to the thread that performs
// them (the worker, or the caller of a synchronous call). No status callback is called with
// the mutex held.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/proxy_environment.h"
#include "platform/wininet.h"

namespace halcy::wininet {

// A reply body is kept up to this many bytes and cut there.
constexpr size_t kMaxBodyBytes = 16u << 20;
// Reply headers beyond this many bytes make the reply invalid.
constexpr size_t kMaxHeaderBytes = 256u << 10;
// A request body gathered by InternetWriteFile may not grow beyond this.
constexpr size_t kMaxRequestBodyBytes = 16u << 20;

enum class HandleKind { kRoot, kConnect, kRequest, kUrl };

// Where a request handle stands.
enum class RequestState { kOpened, kSent, kRunning, kDone, kFailed };

// The reply as kept for HttpQueryInfoW and InternetReadFile.
struct Reply {
  long status = 0;
  std::string raw_headers;  // the final response's status line and header lines, CRLF each
  std::string body;
  bool truncated = false;
};

struct Handle {
  // Constant after construction.
  HandleKind kind = HandleKind::kRoot;
  HINTERNET id = nullptr;
  DWORD_PTR context = 0;
  std::shared_ptr<const Handle> parent;
  // Root: the agent, whether asynchronous, the proxy read at InternetOpenW.
  std::string agent;
  bool async = false;
  ProxyEnvironment proxy;
  // Connect: host (brackets added for an IPv6 literal) and port (0: the scheme's default).
  std::string host;
  INTERNET_PORT port = 0;
  // Request: verb, object name (percent-encoded where needed), Accept and Referer, https.
  std::string verb;
  std::string object;
  std::string accept;
  std::string referrer;
  bool secure = false;

  // Guarded by Registry::mu.
  INTERNET_STATUS_CALLBACK callback = nullptr;
  bool closed = false;
  RequestState state = RequestState::kOpened;
  std::string headers;     // given to HttpSendRequestExW, CRLF-separated
  DWORD body_total = 0;    // the size announced to HttpSendRequestExW
  std::string body;        // gathered by InternetWriteFile
  Reply reply;             // valid in kDone
  size_t read_offset = 0;  // next body byte for InternetReadFile
};

// What one transfer sends: everything copied out of the handles, so that the performing
// thread never touches them.
struct TransferOrder {
  std::string url;
  std::string verb;  // "GET", "POST" or "HEAD"
  std::string body;
  std::string agent;
  std::string proxy;     // "" = direct
  std::string no_proxy;  // hosts that bypass the proxy
  std::vector<std::string> headers;
};

// One libcurl easy transfer and the reply it gathers. Lives on one thread at a time.
class Transfer {
 public:
  explicit Transfer(TransferOrder order);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Prepares the easy handle; false (with `*error` set) when libcurl refuses the request.
  bool Prepare(DWORD* error);
  CURL* easy() const { return easy_; }
  // Turns libcurl's result into a reply; returns 0 or the ERROR_INTERNET_* code.
  DWORD Finish(CURLcode code, Reply* reply);
  // Prepare, perform on the calling thread and Finish.
  DWORD PerformHere(Reply* reply);

 private:
  bool SetConnectionOptions();
  bool SetRequestOptions();
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);

  TransferOrder order_;
  CURL* easy_ = nullptr;
  curl_slist* header_list_ = nullptr;
  std::string raw_headers_;
  std::string body_;
  bool truncated_ = false;
  bool headers_too_long_ = false;
};

// The ERROR_INTERNET_* code for a libcurl result.
DWORD ErrorFromCurl(CURLcode code);

// Sets up libcurl once per process.
void EnsureCurlGlobal();

// --- The handle table and the worker (wininet_registry.cc) ---

// Adds `handle` to the table, giving it its id and its parent's callback; returns the id.
// REQUIRES: the table's lock (LockTable).
HINTERNET RegisterLocked(std::shared_ptr<Handle> handle);
// The live handle `id`, or null. REQUIRES: the table's lock (LockTable).
std::shared_ptr<Handle> FindLocked(HINTERNET id);
// Removes `id` from the table; the worker abandons its transfer and sends HANDLE_CLOSING.
bool Close(HINTERNET id);
// Hands a transfer for `handle` to the worker; REQUEST_COMPLETE follows.
void StartOnWorker(std::shared_ptr<Handle> handle, std::unique_ptr<Transfer> transfer);
// Sends REQUEST_COMPLETE (with `error`, 0 for success) for `handle` from the worker.
void CompleteOnWorker(std::shared_ptr<Handle> handle, DWORD error);
// A synchronous transfer begins or ends on the calling thread (the activity bookkeeping).
void BeginSyncTransfer();
void EndSyncTransfer();
// Sets the callback; returns the previous one, or INTERNET_INVALID_STATUS_CALLBACK.
INTERNET_STATUS_CALLBACK SetCallback(HINTERNET id, INTERNET_STATUS_CALLBACK callback);
// The table's lock, for the calls that read or change handle fields.
std::unique_lock<std::mutex> LockTable();

// --- Shared helpers (wininet.cc) ---

// Sets the last error; returns FALSE (or null).
BOOL Fail(DWORD error);
HINTERNET FailNull(DWORD error);
// Headers given as (text, length in characters); -1 means NUL-terminated.
std::string HeaderText(LPCWSTR headers, DWORD length);
// One header per non-empty line; CR and LF never reach libcurl inside a header.
std::vector<std::string> SplitHeaderLines(std::string_view text);

// --- URL splitting (wininet_url.cc) ---

struct UrlPart {
  size_t start = 0;
  size_t length = 0;
};
struct UrlParts {
  UrlPart scheme, user, password, host, path, extra;
  INTERNET_SCHEME scheme_kind = INTERNET_SCHEME_UNKNOWN;
  INTERNET_PORT port = 0;  // explicit, or the scheme's default (0 for an unknown scheme)
};
// Splits `url`; 0 on success, or ERROR_INTERNET_UNRECOGNIZED_SCHEME / ERROR_INTERNET_INVALID_URL.
DWORD SplitUrl(std::u16string_view url, UrlParts* parts);

}  // namespace halcy::wininet
