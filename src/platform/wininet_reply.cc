// The synchronous GET (InternetOpenUrlW) and the calls that read a reply kept in memory
// (HttpQueryInfoW, InternetReadFile).
#include <cstring>
#include <string>
#include <utility>

#include "platform/strings.h"
#include "platform/win32.h"
#include "platform/wininet_internal.h"

namespace halcy::wininet {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// The value of the `index`-th header called `name` (after the status line); false when absent.
bool FindHeader(std::string_view raw, std::string_view name, DWORD index, std::string* value) {
  size_t line_start = raw.find('\n');
  while (line_start != std::string_view::npos && line_start + 1 < raw.size()) {
    std::string_view rest = raw.substr(line_start + 1);
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoringCase(line.substr(0, colon), name)) {
      if (index == 0) {
        *value = std::string(Trim(line.substr(colon + 1)));
        return true;
      }
      --index;
    }
    line_start = end == std::string_view::npos ? end : line_start + 1 + end;
  }
  return false;
}

// The text a query level answers from the reply; false with the error otherwise.
bool QueryText(const Reply& reply, DWORD level, DWORD index, std::string* text, DWORD* error) {
  switch (level) {
    case HTTP_QUERY_STATUS_CODE:
      *text = std::to_string(reply.status);
      return true;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
      *text = reply.raw_headers;
      return true;
    case HTTP_QUERY_CONTENT_LENGTH:
    case HTTP_QUERY_LOCATION: {
      const char* name = level == HTTP_QUERY_LOCATION ? "Location" : "Content-Length";
      if (FindHeader(reply.raw_headers, name, index, text)) return true;
      *error = ERROR_HTTP_HEADER_NOT_FOUND;
      return false;
    }
    default:
      *error = ERROR_INVALID_PARAMETER;
      return false;
  }
}

BOOL AnswerNumber(const std::string& text, LPVOID buffer, DWORD* length) {
  if (*length < sizeof(DWORD) || buffer == nullptr) {
    *length = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || text.size() > 10) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (text.empty() || number > 0xFFFFFFFFu) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
  auto value = static_cast<DWORD>(number);
  std::memcpy(buffer, &value, sizeof value);
  *length = sizeof(DWORD);
  return TRUE;
}

BOOL AnswerText(const std::string& text, LPVOID buffer, DWORD* length) {
  std::u16string wide = Utf8ToUtf16(text);
  // Header texts are capped at kMaxHeaderBytes, so the size always fits a DWORD.
  size_t needed = (wide.size() + 1) * sizeof(char16_t);
  if (buffer == nullptr || *length < needed) {
    *length = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, wide.c_str(), needed);
  *length = static_cast<DWORD>(needed - sizeof(char16_t));
  return TRUE;
}

// Looks up a handle with a reply. REQUIRES: the table's lock.
std::shared_ptr<Handle> FindReplyLocked(HINTERNET id, DWORD* error) {
  std::shared_ptr<Handle> handle = FindLocked(id);
  if (handle == nullptr) {
    *error = ERROR_INVALID_HANDLE;
  } else if (handle->kind != HandleKind::kRequest && handle->kind != HandleKind::kUrl) {
    *error = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
  } else if (handle->state != RequestState::kDone) {
    *error = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  } else {
    return handle;
  }
  return nullptr;
}

}  // namespace
}  // namespace halcy::wininet

using halcy::wininet::Handle;
using halcy::wininet::HandleKind;
using halcy::wininet::LockTable;

HINTERNET InternetOpenUrlW(HINTERNET internet, LPCWSTR url, LPCWSTR headers, DWORD headers_length,
                           DWORD /*flags*/, DWORD_PTR context) {
  auto fail = [](DWORD error) -> HINTERNET {
    SetLastError(error);
    return nullptr;
  };
  if (url == nullptr) return fail(ERROR_INVALID_PARAMETER);
  halcy::wininet::UrlParts parts;
  DWORD split_error = halcy::wininet::SplitUrl(url, &parts);
  // The scheme is judged first: "file:///x" is refused for its scheme, not for its empty host.
  if (parts.scheme_kind != INTERNET_SCHEME_HTTP && parts.scheme_kind != INTERNET_SCHEME_HTTPS) {
    return fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  }
  if (split_error != 0) return fail(split_error);
  const char* scheme = parts.scheme_kind == INTERNET_SCHEME_HTTPS ? "https" : "http";
  halcy::wininet::TransferOrder order;
  std::shared_ptr<Handle> root;
  {
    auto lock = LockTable();
    root = halcy::wininet::FindLocked(internet);
    if (root == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (root->kind != HandleKind::kRoot) return fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    // An asynchronous root would complete this call on the worker; nothing here needs that.
    if (root->async) return fail(ERROR_INTERNET_INVALID_OPERATION);
  }
  order.url = halcy::Utf16ToUtf8(url);  // libcurl leaves a fragment out of the request
  order.verb = "GET";
  order.agent = root->agent;
  order.proxy = root->proxy.ForScheme(scheme);
  order.no_proxy = root->proxy.no_proxy;
  order.headers =
      halcy::wininet::SplitHeaderLines(halcy::wininet::HeaderText(headers, headers_length));
  halcy::wininet::Transfer transfer(std::move(order));
  halcy::wininet::Reply reply;
  if (DWORD error = transfer.PerformHere(&reply); error != 0) return fail(error);
  auto handle = std::make_shared<Handle>();
  handle->kind = HandleKind::kUrl;
  handle->context = context;
  handle->parent = root;
  handle->state = halcy::wininet::RequestState::kDone;
  handle->reply = std::move(reply);
  auto lock = LockTable();
  return halcy::wininet::RegisterLocked(std::move(handle));
}

BOOL HttpQueryInfoW(HINTERNET request, DWORD info_level, LPVOID buffer, DWORD* buffer_length,
                    DWORD* index) {
  using halcy::wininet::Fail;
  if (buffer_length == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD modifiers = info_level & 0xFFFF0000u;
  if (modifiers != 0 && modifiers != HTTP_QUERY_FLAG_NUMBER) return Fail(ERROR_INVALID_PARAMETER);
  std::string text;
  {
    auto lock = LockTable();
    DWORD error = 0;
    std::shared_ptr<Handle> handle = halcy::wininet::FindReplyLocked(request, &error);
    if (handle == nullptr) return Fail(error);
    DWORD wanted = index == nullptr ? 0 : *index;
    if (!halcy::wininet::QueryText(handle->reply, info_level & 0xFFFF, wanted, &text, &error)) {
      return Fail(error);
    }
  }
  BOOL ok = modifiers == HTTP_QUERY_FLAG_NUMBER
                ? halcy::wininet::AnswerNumber(text, buffer, buffer_length)
                : halcy::wininet::AnswerText(text, buffer, buffer_length);
  if (ok && index != nullptr) ++*index;
  return ok;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read, DWORD* bytes_read) {
  using halcy::wininet::Fail;
  if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *bytes_read = 0;
  auto lock = LockTable();
  DWORD error = 0;
  std::shared_ptr<Handle> handle = halcy::wininet::FindReplyLocked(file, &error);
  if (handle == nullptr) return Fail(error);
  const std::string& body = handle->reply.body;
  size_t count = std::min<size_t>(bytes_to_read, body.size() - handle->read_offset);
  if (count != 0) std::memcpy(buffer, body.data() + handle->read_offset, count);
  handle->read_offset += count;
  *bytes_read = static_cast<DWORD>(count);
  return TRUE;
}
