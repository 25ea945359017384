// The URL canonicalizer: turns a URL as typed or stored into one canonical UTF-8 text and
// records where each component lies in it, so that equivalent ways of writing a URL compare
// equal. burl::ParsedUrl (parsed_url.h) is the object most callers want; this is the layer
// under it.
// Pure functions: safe from any thread.
//
// Preparation: only inputs of 2 to 4096 bytes are read; CR, LF and TAB are removed; a text
// that starts with two slashes or with a drive letter gets "file:///" in front; blanks are
// removed before the third slash (or the first "?" or "#"); "localhost:", "localhost/" and
// "base." (any letter case) get "http://" in front. The scheme ends at the first ":" and must
// not hold a ".". A one-letter scheme can only be left over when blanks stood before a drive
// letter; it is flagged invalid, because its canonical text would read back as a file URL.
//
// Then the scheme chooses the kind: "file", "mailto", the standard schemes, anything else.
//   "HTTP://Ab.CD:80/a/./b/../c"   -> "http://ab.cd/a/c"
//   "localhost:8080/x"             -> "http://localhost:8080/x"
//   "C:\\Program Files\\x"         -> "file:///C:/Program Files/x"
//   "ab.cd:80"                      -> not a URL (empty, invalid)
#pragma once

#include <string_view>

#include "url/url_component.h"

namespace burl {

class CanonOutput;

constexpr int32_t kMinUrlBytes = 2;
constexpr int32_t kMaxUrlBytes = 4096;

// Canonicalizes `input` (UTF-8) into `out`, which must be empty. Component ranges in
// `*parsed` index `out`; components the URL does not have are absent. Returns the URL's
// validity. Invalid input still yields as much canonical text as could be produced. A
// canonical text longer than 4096 bytes (escaping can triple the input) is invalid: it could
// not be read again.
bool Canonicalize(std::string_view input, CanonOutput* out, Parsed* parsed, HostKind* host_kind);

// Default port of a scheme (ASCII case ignored): http and ws 80, https and wss 443, ftp 21,
// gopher 70; -1 for every other scheme.
int DefaultPortForScheme(std::string_view scheme);

// True for "http", "https", "file", "ftp", "gopher", "ws", "wss" and "hcbrowser" (ASCII case
// ignored).
bool IsStandardScheme(std::string_view scheme);

}  // namespace burl
