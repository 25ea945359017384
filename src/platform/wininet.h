// The WinINet subset that the module's HTTP client and reachability probe call, on libcurl.
//
// An asynchronous root (INTERNET_FLAG_ASYNC) runs its network work on one process-wide worker
// thread that drives libcurl's multi interface; status callbacks come from that thread, the way
// WinINet's come from its own:
//
//   HINTERNET root = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
//                                  INTERNET_FLAG_ASYNC);
//   InternetSetStatusCallbackW(root, &OnStatus);     // inherited by handles made from root
//   HINTERNET connect = InternetConnectW(root, u"host", 80, nullptr, nullptr,
//                                        INTERNET_SERVICE_HTTP, 0, context);
//   HINTERNET request = HttpOpenRequestW(connect, u"POST", u"/path", nullptr, nullptr, accept,
//                                        flags, context);
//   HttpSendRequestExW(request, &buffers, nullptr, 0, context);   // FALSE + ERROR_IO_PENDING,
//   ...                                                           // then REQUEST_COMPLETE
//
// What each call does here:
//   - InternetConnectW, HttpOpenRequestW, InternetWriteFile, HttpQueryInfoW, InternetReadFile
//     complete at once (the body is gathered by the write calls; the reply is read from memory).
//   - HttpSendRequestExW and HttpEndRequestW on an asynchronous root return FALSE with
//     ERROR_IO_PENDING; INTERNET_STATUS_REQUEST_COMPLETE follows on the worker thread, carrying
//     an INTERNET_ASYNC_RESULT (dwResult TRUE, or FALSE with dwError). The transfer itself
//     runs at HttpEndRequestW: the headers given to send-ex and the body gathered since go out
//     together, and the whole reply (capped, below) is kept for the query and read calls.
//   - InternetCloseHandle returns at once; a handle with a status callback then gets
//     INTERNET_STATUS_HANDLE_CLOSING on the worker thread, after every earlier notification of
//     that handle and as its last one. A transfer still running is abandoned.
//   - On a synchronous root, InternetOpenUrlW performs a GET on the caller's thread and returns
//     a handle once the reply has arrived (any status), or null with the error.
//
// Handles are entries of a process-wide table, not pointers: a closed or made-up handle is
// refused with ERROR_INVALID_HANDLE. Closing a handle closes only that handle (a request
// keeps what it needs of its connect and root handles). The worker thread starts with the
// first asynchronous call and ends whenever it has nothing left to do (no notification due,
// no transfer running); at process exit a running worker is stopped and joined.
//
// Limits and refusals: only http and https URLs (ERROR_INTERNET_UNRECOGNIZED_SCHEME
// otherwise); libcurl never follows redirects (redirects are the caller's business); a reply
// body is kept up to 16 MiB and cut there; a connection attempt gives up after 30 s and a
// transfer that moves no byte for 60 s is aborted (ERROR_INTERNET_TIMEOUT).
//
// "The preconfigured proxy" (INTERNET_OPEN_TYPE_PRECONFIG) is the standard proxy environment
// (platform/proxy_environment.h), read when the root handle is opened. Tests reach a loopback
// server that way.
//
// The ANSI code page of the system is UTF-8 here.
//
// Thread-safe: every call may come from any thread; a handle may be closed from any thread
// while the worker uses it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"

using HINTERNET = void*;
using INTERNET_PORT = WORD;
using DWORD_PTR = uintptr_t;
using LPCVOID = const void*;

using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD status,
                                          LPVOID status_information,
                                          DWORD status_information_length);
// What InternetSetStatusCallbackW returns when the handle is not valid.
inline const INTERNET_STATUS_CALLBACK INTERNET_INVALID_STATUS_CALLBACK =
    reinterpret_cast<INTERNET_STATUS_CALLBACK>(static_cast<intptr_t>(-1));

constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_ASYNC = 0x10000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;  // https on the request handle
constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;

constexpr DWORD INTERNET_STATUS_HANDLE_CLOSING = 70;
constexpr DWORD INTERNET_STATUS_REQUEST_COMPLETE = 100;

struct INTERNET_ASYNC_RESULT {
  DWORD_PTR dwResult;
  DWORD dwError;
};

struct INTERNET_BUFFERSW {
  DWORD dwStructSize;
  INTERNET_BUFFERSW* Next;
  LPCWSTR lpcszHeader;
  DWORD dwHeadersLength;  // characters; -1L for NUL-terminated
  DWORD dwHeadersTotal;
  LPVOID lpvBuffer;
  DWORD dwBufferLength;
  DWORD dwBufferTotal;  // the body's total size (Content-Length)
  DWORD dwOffsetLow;
  DWORD dwOffsetHigh;
};

// HttpQueryInfoW levels and modifier.
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD HTTP_QUERY_LOCATION = 33;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// InternetCrackUrlW.
enum INTERNET_SCHEME : int {
  INTERNET_SCHEME_UNKNOWN = -1,
  INTERNET_SCHEME_HTTP = 3,
  INTERNET_SCHEME_HTTPS = 4,
};
struct URL_COMPONENTSW {
  DWORD dwStructSize;
  LPWSTR lpszScheme;
  DWORD dwSchemeLength;
  INTERNET_SCHEME nScheme;
  LPWSTR lpszHostName;
  DWORD dwHostNameLength;
  INTERNET_PORT nPort;
  LPWSTR lpszUserName;
  DWORD dwUserNameLength;
  LPWSTR lpszPassword;
  DWORD dwPasswordLength;
  LPWSTR lpszUrlPath;
  DWORD dwUrlPathLength;
  LPWSTR lpszExtraInfo;  // "?query#fragment"
  DWORD dwExtraInfoLength;
};

// WinINet error codes (with texts in the "wininet.dll" message table, see WinInetMessageText).
constexpr DWORD ERROR_INTERNET_OUT_OF_HANDLES = 12001;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INVALID_OPERATION = 12016;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;

HINTERNET InternetOpenW(LPCWSTR agent, DWORD access_type, LPCWSTR proxy, LPCWSTR proxy_bypass,
                        DWORD flags);
// Sets the callback of `handle` (null removes it); handles created later from it inherit it.
// Returns the previous callback, or INTERNET_INVALID_STATUS_CALLBACK for a bad handle.
INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET handle,
                                                    INTERNET_STATUS_CALLBACK callback);
HINTERNET InternetConnectW(HINTERNET internet, LPCWSTR server_name, INTERNET_PORT server_port,
                           LPCWSTR user_name, LPCWSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context);
// Verbs: GET, POST, HEAD (ERROR_INVALID_PARAMETER otherwise). The accept types become one
// Accept header; the agent of the root becomes User-Agent.
HINTERNET HttpOpenRequestW(HINTERNET connect, LPCWSTR verb, LPCWSTR object_name, LPCWSTR version,
                           LPCWSTR referrer, LPCWSTR* accept_types, DWORD flags, DWORD_PTR context);
BOOL HttpSendRequestExW(HINTERNET request, INTERNET_BUFFERSW* buffers_in,
                        INTERNET_BUFFERSW* buffers_out, DWORD flags, DWORD_PTR context);
BOOL InternetWriteFile(HINTERNET file, LPCVOID buffer, DWORD bytes_to_write, DWORD* bytes_written);
// A body whose size differs from the total announced to HttpSendRequestExW (when not 0) is
// refused with ERROR_INTERNET_INCORRECT_HANDLE_STATE.
BOOL HttpEndRequestW(HINTERNET request, INTERNET_BUFFERSW* buffers_out, DWORD flags,
                     DWORD_PTR context);
// Numbers (HTTP_QUERY_FLAG_NUMBER) fill a DWORD; texts are UTF-16 with a NUL, `*length` in
// bytes without the NUL on success, or the bytes needed with ERROR_INSUFFICIENT_BUFFER.
// Levels: status code, raw headers, Content-Length and Location (`*index` picks among
// repeated headers and is advanced on success). The reply must have arrived
// (ERROR_INTERNET_INCORRECT_HANDLE_STATE otherwise).
BOOL HttpQueryInfoW(HINTERNET request, DWORD info_level, LPVOID buffer, DWORD* buffer_length,
                    DWORD* index);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read, DWORD* bytes_read);
BOOL InternetCloseHandle(HINTERNET handle);
// Only a synchronous root (ERROR_INTERNET_INVALID_OPERATION on an asynchronous one).
HINTERNET InternetOpenUrlW(HINTERNET internet, LPCWSTR url, LPCWSTR headers, DWORD headers_length,
                           DWORD flags, DWORD_PTR context);
// Splits `url` (length 0: NUL-terminated). Fields with a null pointer and a non-zero length
// are answered as pointers into `url` and lengths; the port is the URL's, or the scheme's
// default (0 for a scheme other than http and https). A field with a buffer and its size in
// characters gets a copy with a NUL (or ERROR_INSUFFICIENT_BUFFER and the size needed); a zero
// length leaves the field alone. No flag is supported: `flags` must be 0.
BOOL InternetCrackUrlW(LPCWSTR url, DWORD url_length, DWORD flags, URL_COMPONENTSW* components);

namespace halcy {
// The text that the "wininet.dll" message table holds for `code`, or "" when it has none.
std::u16string WinInetMessageText(DWORD code);

// The stand-in's own bookkeeping, so that the host can wait until no HTTP request is
// outstanding: `busy` while the worker has a command queued, a transfer running or a
// notification to deliver, or a synchronous transfer runs on some thread; `started` grows with
// every send, end of a request and synchronous transfer: when it has not moved, no new work
// began.
struct InternetActivity {
  bool busy = false;
  uint64_t started = 0;
};
InternetActivity GetInternetActivity();
// Waits until GetInternetActivity().busy is false; false when `timeout_ms` passed first.
bool WaitForInternetIdle(DWORD timeout_ms);
}  // namespace halcy
