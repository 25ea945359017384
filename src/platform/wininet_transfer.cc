// One HTTP exchange on a libcurl easy handle, and the mapping of libcurl's results to
// WinINet's error codes. A transfer is prepared and performed on one thread at a time.
#include <mutex>
#include <string>
#include <utility>

#include "platform/strings.h"
#include "platform/win32.h"
#include "platform/wininet_internal.h"

namespace halcy::wininet {
namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallSeconds = 60;

bool StartsWithStatusLine(std::string_view line) { return line.rfind("HTTP/", 0) == 0; }

}  // namespace

void EnsureCurlGlobal() {
  static std::once_flag once;
  // curl_global_init is not thread-safe by itself; a failure shows later as failing handles.
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Transfer::Transfer(TransferOrder order) : order_(std::move(order)) {}

Transfer::~Transfer() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  curl_slist_free_all(header_list_);
}

bool Transfer::Prepare(DWORD* error) {
  EnsureCurlGlobal();
  easy_ = curl_easy_init();
  *error = ERROR_NOT_ENOUGH_MEMORY;
  if (easy_ == nullptr) return false;
  for (const std::string& header : order_.headers) {
    curl_slist* grown = curl_slist_append(header_list_, header.c_str());
    if (grown == nullptr) return false;
    header_list_ = grown;
  }
  *error = ERROR_INTERNET_INTERNAL_ERROR;
  return SetConnectionOptions() && SetRequestOptions();
}

bool Transfer::SetConnectionOptions() {
  CURL* e = easy_;
  bool ok = curl_easy_setopt(e, CURLOPT_URL, order_.url.c_str()) == CURLE_OK;
  // Only http and https, and never a redirect followed by libcurl.
  ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  // The proxy is always given, so that libcurl never reads the environment on this thread.
  ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, order_.proxy.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOPROXY, order_.no_proxy.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, kStallSeconds) == CURLE_OK;
  return ok;
}

bool Transfer::SetRequestOptions() {
  CURL* e = easy_;
  bool ok = curl_easy_setopt(e, CURLOPT_HTTPHEADER, header_list_) == CURLE_OK;
  if (!order_.agent.empty()) {
    ok = ok && curl_easy_setopt(e, CURLOPT_USERAGENT, order_.agent.c_str()) == CURLE_OK;
  }
  if (order_.verb == "POST") {
    ok = ok && curl_easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(order_.body.size())) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDS, order_.body.data()) == CURLE_OK;
  } else if (order_.verb == "HEAD") {
    ok = ok && curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
  } else {
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  }
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, this) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, this) == CURLE_OK;
  return ok;
}

// Keeps the header lines of the last response (an interim 1xx response is replaced by the
// next one); a header block over kMaxHeaderBytes stops the transfer.
size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  std::string_view line(data, size * count);
  if (StartsWithStatusLine(line)) transfer->raw_headers_.clear();
  if (transfer->raw_headers_.size() + line.size() > kMaxHeaderBytes) {
    transfer->headers_too_long_ = true;
    return 0;
  }
  transfer->raw_headers_.append(line);
  return line.size();
}

// Keeps the body up to kMaxBodyBytes; at the cap the transfer is stopped and the reply is
// marked as cut.
size_t Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  size_t bytes = size * count;
  size_t room = kMaxBodyBytes - transfer->body_.size();
  if (bytes > room) {
    transfer->body_.append(data, room);
    transfer->truncated_ = true;
    return 0;
  }
  transfer->body_.append(data, bytes);
  return bytes;
}

DWORD Transfer::Finish(CURLcode code, Reply* reply) {
  if (code == CURLE_WRITE_ERROR && headers_too_long_) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && truncated_)) return ErrorFromCurl(code);
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status < 100 || status > 999) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (truncated_) {
    OutputDebugStringW(u"wininet: reply body cut at 16 MiB");
  }
  reply->status = status;
  reply->raw_headers = std::move(raw_headers_);
  reply->body = std::move(body_);
  reply->truncated = truncated_;
  return 0;
}

DWORD Transfer::PerformHere(Reply* reply) {
  DWORD error = 0;
  if (!Prepare(&error)) return error;
  BeginSyncTransfer();
  error = Finish(curl_easy_perform(easy_), reply);
  EndSyncTransfer();
  return error;
}

DWORD ErrorFromCurl(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

}  // namespace halcy::wininet
