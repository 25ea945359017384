#include "update/http_post.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "common/log.h"
#include "platform/critical_section.h"
#include "platform/strings.h"
#include "platform/win32.h"
#include "platform/wininet.h"

namespace Logic {
namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kLocationBytes = 200;
constexpr DWORD kGuardSpinCount = 4000;
constexpr DWORD kOpenRequestFlags = 0x84200000;  // reload, no cache write, no auto-redirect
constexpr DWORD kSendFlags = 0x00200000;
constexpr char16_t kUserAgent[] = u"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98; kvt)";
constexpr char16_t kFormHeader[] = u"Content-Type: application/x-www-form-urlencoded";
constexpr char16_t kTag[] = u"ext;";

// Steps of a post, in order; a step that goes asynchronous resumes at the next one.
enum State : DWORD {
  kCreateHandles = 0,
  kSend = 1,
  kCopyBody = 2,
  kWrite = 3,
  kEndRequest = 4,
  kReceive = 5,
  kFinished = 6,
};

enum class Step { kNext, kPending, kFailed, kDone };

std::atomic<LONG> g_next_request_id{0};

struct RequestContext {
  HINTERNET root = nullptr;  // this request's own root; closed with it
  HINTERNET request = nullptr;
  HINTERNET connect = nullptr;
  char buffer[kBufferSize] = {};
  DWORD bytes_written = 0;
  DWORD bytes_to_write = 0;
  DWORD state = kCreateHandles;
  CRITICAL_SECTION guard;
  bool guard_created = false;
  LONG users = 0;    // Guarded by guard
  LONG closing = 0;  // Guarded by guard
  LONG request_id = -1;
  int redirects = 0;
  std::u16string url;
  std::string body;
  ComPtr<IHttpPostListener> listener;
};

void ReportFailure(DWORD error, const char16_t* name) {
  Log(kLogFailure, kTag, u"updating extlist failed %d(%s)", static_cast<int>(error), name);
  std::u16string reason = halcy::WinInetMessageText(error);
  if (!reason.empty()) {
    Log(kLogFailure, kTag, u"updating extlist failed reason: %s", reason.c_str());
  }
}

// The guard around the request handle: a call that uses it counts itself in and out, and a
// close asked for meanwhile is carried out by the last user leaving.
bool EnterRequest(RequestContext* ctx) {
  EnterCriticalSection(&ctx->guard);
  bool usable = !ctx->closing && ctx->request;
  if (usable) ++ctx->users;
  LeaveCriticalSection(&ctx->guard);
  return usable;
}

// After this returns the context may already be gone (another thread may have finished it):
// callers touch it no more unless they know the request handle is still theirs.
void LeaveRequest(RequestContext* ctx) {
  EnterCriticalSection(&ctx->guard);
  HINTERNET to_close = nullptr;
  if (--ctx->users == 0 && ctx->closing) to_close = ctx->request;
  LeaveCriticalSection(&ctx->guard);
  if (to_close) InternetCloseHandle(to_close);
}

void CloseRequest(RequestContext* ctx) {
  EnterCriticalSection(&ctx->guard);
  ctx->closing = 1;
  HINTERNET to_close = ctx->users == 0 ? ctx->request : nullptr;
  LeaveCriticalSection(&ctx->guard);
  if (to_close) InternetCloseHandle(to_close);
}

void FreeContext(RequestContext* ctx) {
  if (ctx->connect) {
    InternetSetStatusCallbackW(ctx->connect, nullptr);
    InternetCloseHandle(ctx->connect);
  }
  if (ctx->guard_created) DeleteCriticalSection(&ctx->guard);
  Log(kLogEvent, kTag, u"extlist: before delete reqContext");
  if (ctx->root) {
    InternetSetStatusCallbackW(ctx->root, nullptr);
    InternetCloseHandle(ctx->root);
  }
  delete ctx;
}

// With the request handle still open, closes it and finishes when its closing notification
// arrives; otherwise frees the context now.
void TearDown(RequestContext* ctx) {
  if (ctx->request && ctx->guard_created) {
    CloseRequest(ctx);  // the closing notification calls TearDown again
    return;
  }
  FreeContext(ctx);
}

// Closes the handles of an earlier attempt without a closing notification (a redirect reuses
// the context) and clears the closing flag. The request handle changes under the guard: the
// thread that started the previous call may still be counting itself out. The user count is
// left as it is, balanced by that thread.
void DropHandles(RequestContext* ctx) {
  HINTERNET request = nullptr;
  if (ctx->guard_created) {
    EnterCriticalSection(&ctx->guard);
    request = std::exchange(ctx->request, nullptr);
    ctx->closing = 0;
    LeaveCriticalSection(&ctx->guard);
  }
  for (HINTERNET handle : {request, std::exchange(ctx->connect, nullptr)}) {
    if (!handle) continue;
    InternetSetStatusCallbackW(handle, nullptr);
    InternetCloseHandle(handle);
  }
}

Step CreateWininetHandles(RequestContext* ctx) {
  DropHandles(ctx);
  ctx->state = kSend;
  if (!ctx->guard_created) {
    if (!InitializeCriticalSectionAndSpinCount(&ctx->guard, kGuardSpinCount)) {
      OutputDebugStringW(halcy::StringPrintf(u"CreateWininetHandles failed with %d\n",
                                             static_cast<int>(GetLastError()))
                             .c_str());
      return Step::kFailed;
    }
    ctx->guard_created = true;
  }
  char16_t host[256] = {};
  char16_t path[2048] = {};
  char16_t extra[2048] = {};  // asked for so that the query stays out of the path
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = std::size(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = std::size(path);
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = std::size(extra);
  DWORD error = 0;
  const char16_t* failed = nullptr;
  if (!InternetCrackUrlW(ctx->url.c_str(), 0, 0, &parts)) {
    error = GetLastError();
    failed = u"InternetConnect";
  } else if (!(ctx->connect =
                   InternetConnectW(ctx->root, host, INTERNET_DEFAULT_HTTP_PORT, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(ctx)))) {
    error = GetLastError();
    failed = u"InternetConnect";
  } else {
    LPCWSTR accept[] = {u"*/*", nullptr};
    const char16_t* object = path[0] ? path : u"/";
    HINTERNET request = HttpOpenRequestW(ctx->connect, u"POST", object, nullptr, nullptr, accept,
                                         kOpenRequestFlags, reinterpret_cast<DWORD_PTR>(ctx));
    EnterCriticalSection(&ctx->guard);
    ctx->request = request;
    LeaveCriticalSection(&ctx->guard);
    if (!request) {
      error = GetLastError();
      failed = u"HttpOpenRequest";
    }
  }
  if (!failed) return Step::kNext;
  ReportFailure(error, failed);
  OutputDebugStringW(
      halcy::StringPrintf(u"CreateWininetHandles failed with %d\n", static_cast<int>(error))
          .c_str());
  return Step::kFailed;
}

// Runs one asynchronous call on the request handle; `state` is the step that resumes it.
template <class Call>
Step CallOnRequest(RequestContext* ctx, DWORD next_state, const char16_t* name,
                   const char16_t* waiting, Call&& call) {
  ctx->state = next_state;
  if (!EnterRequest(ctx)) return Step::kFailed;
  BOOL ok = call();
  DWORD error = ok ? 0 : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    if (waiting) Log(kLogEvent, kTag, waiting);
    LeaveRequest(ctx);  // the completion owns the context from here
    return Step::kPending;
  }
  LeaveRequest(ctx);
  if (ok) return Step::kNext;
  ReportFailure(error, name);
  return Step::kFailed;
}

Step SendRequestWithBody(RequestContext* ctx) {
  INTERNET_BUFFERSW buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpcszHeader = kFormHeader;
  buffers.dwHeadersLength = static_cast<DWORD>(std::char_traits<char16_t>::length(kFormHeader));
  buffers.dwBufferTotal = static_cast<DWORD>(ctx->body.size());
  return CallOnRequest(ctx, kCopyBody, u"HttpSendRequestEx", nullptr, [&] {
    return HttpSendRequestExW(ctx->request, &buffers, nullptr, kSendFlags,
                              reinterpret_cast<DWORD_PTR>(ctx));
  });
}

Step CopyBody(RequestContext* ctx) {
  if (ctx->body.size() > kBufferSize) {
    ReportFailure(ERROR_NOT_ENOUGH_MEMORY, u"ReadFile");
    return Step::kFailed;
  }
  std::memcpy(ctx->buffer, ctx->body.data(), ctx->body.size());
  ctx->bytes_to_write = static_cast<DWORD>(ctx->body.size());
  ctx->state = kWrite;
  return Step::kNext;
}

Step PostDataToServer(RequestContext* ctx) {
  if (ctx->bytes_to_write == 0) {
    ctx->state = kEndRequest;
    return Step::kNext;
  }
  return CallOnRequest(ctx, kEndRequest, u"InternetWriteFile",
                       u"updating ext list:Waiting for InternetWriteFile to complete", [&] {
                         return InternetWriteFile(ctx->request, ctx->buffer, ctx->bytes_to_write,
                                                  &ctx->bytes_written);
                       });
}

Step CompleteRequest(RequestContext* ctx) {
  Log(kLogEvent, kTag, u"updating ext list:Finished posting file");
  return CallOnRequest(
      ctx, kReceive, u"HttpEndRequest", u"updating ext list:Waiting for HttpEndRequest to complete",
      [&] { return HttpEndRequestW(ctx->request, nullptr, 0, reinterpret_cast<DWORD_PTR>(ctx)); });
}

// A 302: the Location header becomes the address and the post starts over.
Step FollowRedirect(RequestContext* ctx) {
  Log(kLogEvent, kTag, u"extlist:redirect occured");
  char16_t location[kLocationBytes / sizeof(char16_t)] = {};
  DWORD size = kLocationBytes;
  if (!EnterRequest(ctx)) return Step::kFailed;
  BOOL ok = HttpQueryInfoW(ctx->request, HTTP_QUERY_LOCATION, location, &size, nullptr);
  DWORD error = ok ? 0 : GetLastError();
  LeaveRequest(ctx);
  if (!ok) {
    ReportFailure(error, u"extlist:HttpQueryInfo ERROR");
    return Step::kFailed;
  }
  if (++ctx->redirects > kMaxPostRedirects) {
    Log(kLogFailure, kTag, u"extlist:redirect limit of %d reached, giving up at %s",
        kMaxPostRedirects, location);
    return Step::kFailed;
  }
  if (!IsHttpAddress(location)) {
    Log(kLogFailure, kTag, u"extlist:redirect to a non-http address refused: %s", location);
    return Step::kFailed;
  }
  ctx->url = location;
  ctx->state = kCreateHandles;
  return Step::kNext;
}

Step RecvResponseData(RequestContext* ctx) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!EnterRequest(ctx)) return Step::kFailed;
  BOOL ok = HttpQueryInfoW(ctx->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                           &size, nullptr);
  DWORD error = ok ? 0 : GetLastError();
  LeaveRequest(ctx);
  if (!ok) {
    ReportFailure(error, u"extlist:HttpQueryInfo ERROR");
    return Step::kFailed;
  }
  if (status == 302) return FollowRedirect(ctx);

  Log(kLogEvent, kTag, u"updating extlist:Recving data");
  std::memset(ctx->buffer, 0, sizeof ctx->buffer);
  DWORD total = 0;
  const bool entered = EnterRequest(ctx);
  bool result = entered;
  while (result && total < kBufferSize) {
    DWORD got = 0;
    if (!InternetReadFile(ctx->request, ctx->buffer + total, kBufferSize - total, &got)) {
      // Reads come from the reply kept in memory; one that would wait is a failure here.
      ReportFailure(GetLastError(), u"InternetReadFile");
      result = false;
    } else if (got == 0) {
      break;
    }
    total += got;
  }
  if (entered) LeaveRequest(ctx);
  if (result && ctx->listener && total > 0) {
    ctx->listener->OnHttpReply(ctx->request_id,
                               halcy::Utf8ToUtf16(std::string_view(ctx->buffer, total)));
  }
  Log(kLogEvent, kTag, u"extlist:receive data result:%d", result ? 1 : 0);
  ctx->state = kFinished;
  return result ? Step::kDone : Step::kFailed;
}

Step RunStep(RequestContext* ctx) {
  switch (ctx->state) {
    case kCreateHandles:
      return CreateWininetHandles(ctx);
    case kSend:
      return SendRequestWithBody(ctx);
    case kCopyBody:
      return CopyBody(ctx);
    case kWrite:
      return PostDataToServer(ctx);
    case kEndRequest:
      return CompleteRequest(ctx);
    case kReceive:
      return RecvResponseData(ctx);
    default:
      return Step::kDone;
  }
}

// Runs steps while they complete at once. A pending step hands the context to its completion;
// a finished or failed run tears it down.
void RunStateMachine(RequestContext* ctx) {
  for (;;) {
    switch (RunStep(ctx)) {
      case Step::kNext:
        continue;
      case Step::kPending:
        return;
      case Step::kFailed:
      case Step::kDone:
        TearDown(ctx);
        return;
    }
  }
}

// The name of the call whose completion resumes `state`, for the failure report.
const char16_t* PendingCallName(DWORD state) {
  switch (state) {
    case kCopyBody:
      return u"HttpSendRequestEx";
    case kEndRequest:
      return u"InternetWriteFile";
    default:
      return u"HttpEndRequest";
  }
}

void OnRequestComplete(RequestContext* ctx, const INTERNET_ASYNC_RESULT* result) {
  if (!ctx) {
    ReportFailure(ERROR_OPERATION_ABORTED, u"CompleteRequest's ReqContext null");
    return;
  }
  if (result && result->dwError != 0) {
    // The call failed on the worker: nothing more will come for it, so the request ends here.
    ReportFailure(result->dwError, PendingCallName(ctx->state));
    TearDown(ctx);
    return;
  }
  RunStateMachine(ctx);
}

void StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                    DWORD /*info_length*/) {
  auto* ctx = reinterpret_cast<RequestContext*>(context);
  const char16_t* what = nullptr;
  std::u16string unknown;
  switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE:
      what = u"Status: Request complete\n";
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      what = u"Status: Handle Closing\n";
      break;
    default:
      unknown = halcy::StringPrintf(u"Status: Unknown (%d)\n", static_cast<int>(status));
      what = unknown.c_str();
  }
  OutputDebugStringW(
      (halcy::StringPrintf(u"Callback Received for Handle %p \t", handle) + what).c_str());
  if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    OnRequestComplete(ctx, static_cast<const INTERNET_ASYNC_RESULT*>(info));
  } else if (status == INTERNET_STATUS_HANDLE_CLOSING && ctx && handle == ctx->request) {
    ctx->request = nullptr;  // this was the request handle's last notification
    TearDown(ctx);
  }
}

}  // namespace

bool IsHttpAddress(std::u16string_view url) {
  std::u16string lower = halcy::AsciiToLower(url.substr(0, 8));
  return lower.rfind(u"http://", 0) == 0 || lower.rfind(u"https://", 0) == 0;
}

LONG PostFormToServer(const std::u16string& url, const std::string& body,
                      IHttpPostListener* listener) {
  auto* ctx = new RequestContext;
  // Each post owns its root handle and closes it at its end, so that no root outlives the
  // requests made from it.
  ctx->root = InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                            INTERNET_FLAG_ASYNC);
  if (!ctx->root) {
    delete ctx;
    return -1;
  }
  if (InternetSetStatusCallbackW(ctx->root, &StatusCallback) == INTERNET_INVALID_STATUS_CALLBACK) {
    InternetCloseHandle(ctx->root);
    delete ctx;
    return -1;
  }
  LONG id = g_next_request_id.fetch_add(1) + 1;
  ctx->request_id = id;
  ctx->url = url;
  ctx->body = body;
  ctx->listener = ComPtr<IHttpPostListener>(listener);
  RunStateMachine(ctx);  // ctx may be gone once this returns
  return id;
}

bool CheckUrlReachable(const std::u16string& host_or_url) {
  std::u16string url = halcy::AsciiToLower(host_or_url);
  if (url.find(u"http://") == std::u16string::npos) url = u"http://" + url;
  HINTERNET root =
      InternetOpenW(u"InetURL:/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!root) return false;
  HINTERNET file = InternetOpenUrlW(root, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  bool reachable = file != nullptr;
  if (file) InternetCloseHandle(file);
  InternetCloseHandle(root);
  return reachable;
}

}  // namespace Logic
