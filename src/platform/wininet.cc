// The WinINet calls: handle creation, the request's send / write / end steps, and the reply's
// query and read calls. Handles are ids in a table (wininet_registry.cc), never pointers, so a
// closed or made-up handle is refused with ERROR_INVALID_HANDLE.
#include "platform/wininet.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/strings.h"
#include "platform/win32.h"
#include "platform/wininet_internal.h"

namespace halcy::wininet {
namespace {

std::string Narrow(LPCWSTR text) { return text == nullptr ? std::string() : Utf16ToUtf8(text); }

// A host name as it may stand in a URL: letters, digits, '-', '.', '_', or an IPv6 literal.
bool ValidHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  bool v6 = host.find(':') != std::string_view::npos;
  for (char c : host) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_';
    bool v6_char = v6 && (c == ':' || c == '%');
    if (!plain && !v6_char) return false;
  }
  return true;
}

// The object name with a leading '/', bytes that may not stand in a request line
// percent-encoded.
std::string EncodeObject(std::string_view object) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (object.empty() || object[0] != '/') out.push_back('/');
  for (char c : object) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '#') {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The request's transfer, from its own fields and its connect and root handles.
// REQUIRES: the table's lock.
TransferOrder BuildTransferOrder(const Handle& request) {
  const Handle& connect = *request.parent;
  const Handle& root = *connect.parent;
  const char* scheme = request.secure ? "https" : "http";
  INTERNET_PORT standard =
      request.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  INTERNET_PORT port = connect.port == 0 ? standard : connect.port;
  TransferOrder order;
  order.url = std::string(scheme) + "://" + connect.host;
  if (port != standard) order.url += ":" + std::to_string(port);
  order.url += request.object;
  order.verb = request.verb;
  order.body = request.body;
  order.agent = root.agent;
  order.proxy = root.proxy.ForScheme(scheme);
  order.no_proxy = root.proxy.no_proxy;
  order.headers = SplitHeaderLines(request.headers);
  // "Accept:" with no value removes libcurl's own "*/*" when no type was given.
  order.headers.push_back("Accept:" + (request.accept.empty() ? "" : " " + request.accept));
  if (!request.referrer.empty()) order.headers.push_back("Referer: " + request.referrer);
  order.headers.push_back("Expect:");  // the body goes out at once, without waiting for 100
  return order;
}

}  // namespace

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HINTERNET FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// Headers given as (text, length in characters); -1 means NUL-terminated.
std::string HeaderText(LPCWSTR headers, DWORD length) {
  if (headers == nullptr || length == 0) return std::string();
  if (length == static_cast<DWORD>(-1)) return Utf16ToUtf8(headers);
  return Utf16ToUtf8(std::u16string_view(headers, length));
}

// One header per non-empty line; CR and LF never reach libcurl inside a header.
std::vector<std::string> SplitHeaderLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.find('\0') == std::string_view::npos) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace halcy::wininet

using halcy::wininet::Fail;
using halcy::wininet::FailNull;
using halcy::wininet::FindLocked;
using halcy::wininet::Handle;
using halcy::wininet::HandleKind;
using halcy::wininet::LockTable;
using halcy::wininet::Narrow;
using halcy::wininet::RegisterLocked;
using halcy::wininet::RequestState;

HINTERNET InternetOpenW(LPCWSTR agent, DWORD access_type, LPCWSTR /*proxy*/,
                        LPCWSTR /*proxy_bypass*/, DWORD flags) {
  if (access_type != INTERNET_OPEN_TYPE_PRECONFIG && access_type != INTERNET_OPEN_TYPE_DIRECT) {
    return FailNull(ERROR_INVALID_PARAMETER);
  }
  auto root = std::make_shared<Handle>();
  root->kind = HandleKind::kRoot;
  root->agent = Narrow(agent);
  root->async = (flags & INTERNET_FLAG_ASYNC) != 0;
  // Read here, on the caller's thread: the worker never reads the environment.
  if (access_type == INTERNET_OPEN_TYPE_PRECONFIG) root->proxy = halcy::ReadProxyEnvironment();
  auto lock = LockTable();
  return RegisterLocked(std::move(root));
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET handle,
                                                    INTERNET_STATUS_CALLBACK callback) {
  INTERNET_STATUS_CALLBACK previous = halcy::wininet::SetCallback(handle, callback);
  if (previous == INTERNET_INVALID_STATUS_CALLBACK) SetLastError(ERROR_INVALID_HANDLE);
  return previous;
}

HINTERNET InternetConnectW(HINTERNET internet, LPCWSTR server_name, INTERNET_PORT server_port,
                           LPCWSTR /*user_name*/, LPCWSTR /*password*/, DWORD service,
                           DWORD /*flags*/, DWORD_PTR context) {
  std::string host = Narrow(server_name);
  if (service != INTERNET_SERVICE_HTTP) return FailNull(ERROR_INVALID_PARAMETER);
  if (!halcy::wininet::ValidHost(host)) return FailNull(ERROR_INTERNET_INVALID_URL);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  auto lock = LockTable();
  std::shared_ptr<Handle> root = FindLocked(internet);
  if (root == nullptr) return FailNull(ERROR_INVALID_HANDLE);
  if (root->kind != HandleKind::kRoot) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  auto connect = std::make_shared<Handle>();
  connect->kind = HandleKind::kConnect;
  connect->context = context;
  connect->parent = root;
  connect->async = root->async;
  connect->host = std::move(host);
  connect->port = server_port;
  return RegisterLocked(std::move(connect));
}

HINTERNET HttpOpenRequestW(HINTERNET connect, LPCWSTR verb, LPCWSTR object_name,
                           LPCWSTR /*version*/, LPCWSTR referrer, LPCWSTR* accept_types,
                           DWORD flags, DWORD_PTR context) {
  std::string method = verb == nullptr ? "GET" : Narrow(verb);
  if (method != "GET" && method != "POST" && method != "HEAD") {
    return FailNull(ERROR_INVALID_PARAMETER);
  }
  auto request = std::make_shared<Handle>();
  request->kind = HandleKind::kRequest;
  request->context = context;
  request->verb = std::move(method);
  request->object = halcy::wininet::EncodeObject(Narrow(object_name));
  for (LPCWSTR* type = accept_types; type != nullptr && *type != nullptr; ++type) {
    if (!request->accept.empty()) request->accept += ", ";
    request->accept += Narrow(*type);
  }
  request->referrer = Narrow(referrer);
  request->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  auto lock = LockTable();
  std::shared_ptr<Handle> parent = FindLocked(connect);
  if (parent == nullptr) return FailNull(ERROR_INVALID_HANDLE);
  if (parent->kind != HandleKind::kConnect) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  request->parent = parent;
  request->async = parent->async;
  return RegisterLocked(std::move(request));
}

BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffers_in,
                        INTERNET_BUFFERSW* /*buffers_out*/, DWORD /*flags*/,
                        DWORD_PTR /*context*/) {
  if (buffers_in != nullptr &&
      (buffers_in->dwStructSize != sizeof(INTERNET_BUFFERSW) || buffers_in->Next != nullptr ||
       (buffers_in->lpvBuffer == nullptr && buffers_in->dwBufferLength != 0))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  auto lock = LockTable();
  std::shared_ptr<Handle> handle = FindLocked(request);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (handle->kind != HandleKind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  if (handle->state == RequestState::kSent || handle->state == RequestState::kRunning) {
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  }
  handle->headers.clear();
  handle->body.clear();
  handle->body_total = 0;
  handle->reply = halcy::wininet::Reply{};
  if (buffers_in != nullptr) {
    handle->headers =
        halcy::wininet::HeaderText(buffers_in->lpcszHeader, buffers_in->dwHeadersLength);
    handle->body_total = buffers_in->dwBufferTotal;
    if (buffers_in->dwBufferLength > halcy::wininet::kMaxRequestBodyBytes) {
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    handle->body.assign(static_cast<const char*>(buffers_in->lpvBuffer),
                        buffers_in->dwBufferLength);
  }
  handle->state = RequestState::kSent;
  if (!handle->async) return TRUE;
  lock.unlock();
  halcy::wininet::CompleteOnWorker(std::move(handle), 0);
  return Fail(ERROR_IO_PENDING);
}

BOOL InternetWriteFile(HINTERNET file, LPCVOID buffer, DWORD bytes_to_write, DWORD* bytes_written) {
  if (bytes_written == nullptr || (buffer == nullptr && bytes_to_write != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *bytes_written = 0;
  auto lock = LockTable();
  std::shared_ptr<Handle> handle = FindLocked(file);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (handle->kind != HandleKind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  if (handle->state != RequestState::kSent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (bytes_to_write > halcy::wininet::kMaxRequestBodyBytes - handle->body.size()) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  handle->body.append(static_cast<const char*>(buffer), bytes_to_write);
  *bytes_written = bytes_to_write;
  return TRUE;
}

BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW* /*buffers_out*/, DWORD /*flags*/,
                     DWORD_PTR /*context*/) {
  auto lock = LockTable();
  std::shared_ptr<Handle> handle = FindLocked(request);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (handle->kind != HandleKind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  // A body shorter or longer than the size announced at send-ex would go out with a wrong
  // Content-Length; refuse it instead.
  if (handle->state != RequestState::kSent ||
      (handle->body_total != 0 && handle->body.size() != handle->body_total)) {
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  }
  auto transfer =
      std::make_unique<halcy::wininet::Transfer>(halcy::wininet::BuildTransferOrder(*handle));
  handle->state = RequestState::kRunning;
  lock.unlock();
  if (handle->async) {
    halcy::wininet::StartOnWorker(std::move(handle), std::move(transfer));
    return Fail(ERROR_IO_PENDING);
  }
  halcy::wininet::Reply reply;
  DWORD error = transfer->PerformHere(&reply);
  lock.lock();
  handle->state = error == 0 ? RequestState::kDone : RequestState::kFailed;
  handle->reply = std::move(reply);
  handle->read_offset = 0;
  return error == 0 ? TRUE : Fail(error);
}

BOOL InternetCloseHandle(HINTERNET handle) {
  if (!halcy::wininet::Close(handle)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
