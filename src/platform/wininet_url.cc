// URL splitting for InternetCrackUrlW and InternetOpenUrlW, and the "wininet.dll" message
// table. Pure functions: safe from any thread.
#include <string>

#include "platform/win32.h"
#include "platform/wininet_internal.h"

namespace halcy::wininet {
namespace {

bool IsAsciiAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? a[i] + 32 : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// The scheme ends at the first ':'; it is a letter followed by letters, digits, '+', '-', '.'.
DWORD SplitScheme(std::u16string_view url, UrlParts* parts) {
  size_t colon = url.find(u':');
  if (colon == std::u16string_view::npos || colon == 0 || !IsAsciiAlpha(url[0])) {
    return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
  for (size_t i = 1; i < colon; ++i) {
    char16_t c = url[i];
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != u'+' && c != u'-' && c != u'.') {
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    }
  }
  parts->scheme = {0, colon};
  std::u16string_view scheme = url.substr(0, colon);
  if (EqualsIgnoringCase(scheme, u"http")) {
    parts->scheme_kind = INTERNET_SCHEME_HTTP;
    parts->port = INTERNET_DEFAULT_HTTP_PORT;
  } else if (EqualsIgnoringCase(scheme, u"https")) {
    parts->scheme_kind = INTERNET_SCHEME_HTTPS;
    parts->port = INTERNET_DEFAULT_HTTPS_PORT;
  }
  return 0;
}

// "host", "[v6]" or either with ":port"; the port is 1 to 5 digits, at most 65535.
DWORD SplitHostPort(std::u16string_view url, size_t start, size_t end, UrlParts* parts) {
  size_t host_end = end;
  size_t port_start = std::u16string_view::npos;
  if (start < end && url[start] == u'[') {
    size_t close = url.find(u']', start);
    if (close == std::u16string_view::npos || close >= end) return ERROR_INTERNET_INVALID_URL;
    host_end = close + 1;
    if (host_end < end && url[host_end] != u':') return ERROR_INTERNET_INVALID_URL;
    if (host_end < end) port_start = host_end + 1;
  } else {
    size_t colon = url.substr(start, end - start).rfind(u':');
    if (colon != std::u16string_view::npos) {
      host_end = start + colon;
      port_start = host_end + 1;
    }
  }
  if (host_end == start) return ERROR_INTERNET_INVALID_URL;
  parts->host = {start, host_end - start};
  if (port_start == std::u16string_view::npos) return 0;
  size_t digits = end - port_start;
  if (digits == 0 || digits > 5) return ERROR_INTERNET_INVALID_URL;
  DWORD port = 0;
  for (size_t i = port_start; i < end; ++i) {
    if (!IsAsciiDigit(url[i])) return ERROR_INTERNET_INVALID_URL;
    port = port * 10 + (url[i] - u'0');
  }
  if (port == 0 || port > 65535) return ERROR_INTERNET_INVALID_URL;
  parts->port = static_cast<INTERNET_PORT>(port);
  return 0;
}

// "user[:password]@" before the host, when the authority holds an '@'.
size_t SplitUserInfo(std::u16string_view url, size_t start, size_t end, UrlParts* parts) {
  size_t at = url.substr(start, end - start).rfind(u'@');
  if (at == std::u16string_view::npos) return start;
  at += start;
  size_t colon = url.substr(start, at - start).find(u':');
  if (colon == std::u16string_view::npos) {
    parts->user = {start, at - start};
  } else {
    parts->user = {start, colon};
    parts->password = {start + colon + 1, at - start - colon - 1};
  }
  return at + 1;
}

// Answers one component: a null pointer gets a pointer into `url`; a buffer gets a copy
// with a NUL (its length in characters, or the size needed with ERROR_INSUFFICIENT_BUFFER);
// a zero length means the caller does not want it.
bool AnswerPart(LPCWSTR url, const UrlPart& part, LPWSTR* pointer, DWORD* length) {
  if (*length == 0) return true;
  if (*pointer == nullptr) {
    *pointer = const_cast<LPWSTR>(url + part.start);
    *length = static_cast<DWORD>(part.length);
    return true;
  }
  if (*length <= part.length) {
    *length = static_cast<DWORD>(part.length + 1);
    return false;
  }
  std::char_traits<char16_t>::copy(*pointer, url + part.start, part.length);
  (*pointer)[part.length] = u'\0';
  *length = static_cast<DWORD>(part.length);
  return true;
}

}  // namespace

DWORD SplitUrl(std::u16string_view url, UrlParts* parts) {
  *parts = UrlParts{};
  if (DWORD error = SplitScheme(url, parts); error != 0) return error;
  size_t start = parts->scheme.length + 1;
  if (url.substr(start, 2) != u"//") return ERROR_INTERNET_INVALID_URL;
  start += 2;
  size_t end = url.find_first_of(u"/?#", start);
  if (end == std::u16string_view::npos) end = url.size();
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] <= u' ' || url[i] == 0x7F) return ERROR_INTERNET_INVALID_URL;
  }
  size_t host_start = SplitUserInfo(url, start, end, parts);
  if (DWORD error = SplitHostPort(url, host_start, end, parts); error != 0) return error;
  size_t extra = url.find_first_of(u"?#", end);
  if (extra == std::u16string_view::npos) extra = url.size();
  parts->path = {end, extra - end};
  parts->extra = {extra, url.size() - extra};
  return 0;
}

}  // namespace halcy::wininet

BOOL InternetCrackUrlW(LPCWSTR url, DWORD url_length, DWORD flags, URL_COMPONENTSW* components) {
  using halcy::wininet::AnswerPart;
  if (url == nullptr || components == nullptr || flags != 0 ||
      components->dwStructSize != sizeof(URL_COMPONENTSW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string_view text =
      url_length == 0 ? std::u16string_view(url) : std::u16string_view(url, url_length);
  halcy::wininet::UrlParts parts;
  if (DWORD error = halcy::wininet::SplitUrl(text, &parts); error != 0) {
    SetLastError(error);
    return FALSE;
  }
  URL_COMPONENTSW& c = *components;
  c.nScheme = parts.scheme_kind;
  c.nPort = parts.port;
  bool ok = AnswerPart(url, parts.scheme, &c.lpszScheme, &c.dwSchemeLength);
  ok = AnswerPart(url, parts.host, &c.lpszHostName, &c.dwHostNameLength) && ok;
  ok = AnswerPart(url, parts.user, &c.lpszUserName, &c.dwUserNameLength) && ok;
  ok = AnswerPart(url, parts.password, &c.lpszPassword, &c.dwPasswordLength) && ok;
  ok = AnswerPart(url, parts.path, &c.lpszUrlPath, &c.dwUrlPathLength) && ok;
  ok = AnswerPart(url, parts.extra, &c.lpszExtraInfo, &c.dwExtraInfoLength) && ok;
  if (!ok) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

namespace halcy {

std::u16string WinInetMessageText(DWORD code) {
  switch (code) {
    case ERROR_INTERNET_OUT_OF_HANDLES:
      return u"No more Internet handles can be allocated.";
    case ERROR_INTERNET_TIMEOUT:
      return u"The operation timed out.";
    case ERROR_INTERNET_INTERNAL_ERROR:
      return u"An internal error occurred in the Internet library.";
    case ERROR_INTERNET_INVALID_URL:
      return u"The URL is not valid.";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return u"The URL uses a scheme that is not supported.";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return u"The server name could not be resolved.";
    case ERROR_INTERNET_INVALID_OPERATION:
      return u"The operation is not valid here.";
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return u"The operation was cancelled.";
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return u"The handle is of the wrong type for this operation.";
    case ERROR_INTERNET_INCORRECT_HANDLE_STATE:
      return u"The handle is in the wrong state for this operation.";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return u"A connection with the server could not be established.";
    case ERROR_INTERNET_CONNECTION_ABORTED:
      return u"The connection with the server was ended before the reply was complete.";
    case ERROR_INTERNET_CONNECTION_RESET:
      return u"The connection with the server was reset.";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return u"The secure channel to the server could not be set up.";
    case ERROR_HTTP_HEADER_NOT_FOUND:
      return u"The requested header was not found.";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return u"The server reply could not be understood.";
    default:
      return u"";
  }
}

}  // namespace halcy
