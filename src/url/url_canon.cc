#include "url/url_canon.h"

#include <cstring>

#include "url/canon_output.h"
#include "url/char_tables.h"
#include "url/url_canon_internal.h"
#include "url/url_host.h"
#include "url/url_parse.h"
#include "url/url_path.h"

namespace burl {

namespace {

// Room in front of the prepared text for the longest prefix ("file:///").
constexpr int32_t kPrefixRoom = 8;

bool StartsWithIgnoreCase(const char* s, int32_t len, std::string_view prefix) {
  if (len < static_cast<int32_t>(prefix.size())) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiToLower(s[i]) != prefix[i]) return false;
  }
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoreCase(a.data(), static_cast<int32_t>(a.size()), b);
}

// Removes blanks before the third slash or the first "?" or "#".
int32_t RemoveLeadingBlanks(char* s, int32_t len) {
  int32_t end = 0;
  for (int slashes = 0; end < len; ++end) {
    if (s[end] == '?' || s[end] == '#') break;
    if (IsSlash(s[end]) && ++slashes == 3) break;
  }
  if (std::memchr(s, ' ', static_cast<size_t>(end)) == nullptr) return len;
  int32_t out = 0;
  for (int32_t i = 0; i < end; ++i) {
    if (s[i] != ' ') s[out++] = s[i];
  }
  if (out == end) return len;
  std::memmove(s + out, s + end, static_cast<size_t>(len - end));
  return out + (len - end);
}

// The preparation steps. `buffer` holds kPrefixRoom + kMaxUrlBytes bytes; on success `*text`
// and `*len` describe the prepared text inside it.
bool Prepare(std::string_view input, char* buffer, char** text, int32_t* len) {
  if (input.size() < static_cast<size_t>(kMinUrlBytes) ||
      input.size() > static_cast<size_t>(kMaxUrlBytes)) {
    return false;
  }
  char* s = buffer + kPrefixRoom;
  auto n = static_cast<int32_t>(input.size());
  std::memcpy(s, input.data(), input.size());
  // Line breaks and tabs are rare: look for them with memchr before compacting.
  if (std::memchr(s, '\r', input.size()) || std::memchr(s, '\n', input.size()) ||
      std::memchr(s, '\t', input.size())) {
    n = 0;
    for (char c : input) {
      if (c != '\r' && c != '\n' && c != '\t') s[n++] = c;
    }
  }
  if (n == 0) return false;
  if ((n >= 2 && IsSlash(s[0]) && IsSlash(s[1])) || IsDriveSpec(s, n, 0)) {
    s -= 8;
    std::memcpy(s, "file:///", 8);
    n += 8;
  }
  n = RemoveLeadingBlanks(s, n);
  if (StartsWithIgnoreCase(s, n, "localhost:") || StartsWithIgnoreCase(s, n, "localhost/") ||
      StartsWithIgnoreCase(s, n, "base.")) {
    s -= 7;
    std::memcpy(s, "http://", 7);
    n += 7;
  }
  *text = s;
  *len = n;
  return true;
}

bool CanonicalizeStandardUrl(const char* s, const Parsed& in, CanonOutput* out, Parsed* p,
                             HostKind* kind) {
  bool valid = CanonicalizeScheme(s, in.scheme, out, &p->scheme);
  out->push_back(':');
  const bool has_authority = in.username.is_present() || in.password.is_present() ||
                             in.port.is_present() || in.host.is_nonempty();
  if (!has_authority) {
    valid = false;
  } else {
    out->Append("//");
    valid &= CanonicalizeUserInfo(s, in.username, in.password, out, &p->username, &p->password);
    valid &= CanonicalizeHost(s, in.host, out, &p->host, kind);
    if (!in.host.is_nonempty()) {
      valid = false;
      p->host = Component(out->length(), 0);
    }
    int default_port = DefaultPortForScheme(out->view(p->scheme.begin, p->scheme.len));
    valid &= CanonicalizePort(s, in.port, default_port, out, &p->port);
  }
  const int32_t path_begin = out->length();
  if (in.path.is_nonempty()) {
    if (!IsSlash(s[in.path.begin])) out->push_back('/');
    valid &= AppendPathRules(s, in.path.begin, in.path.end(), false, path_begin, out);
    p->path = Component(path_begin, out->length() - path_begin);
  } else if (has_authority || in.query.is_present() || in.ref.is_present()) {
    out->push_back('/');
    p->path = Component(path_begin, 1);
  }
  CanonicalizeQuery(s, in.query, out, &p->query);
  valid &= CanonicalizeRef(s, in.ref, out, &p->ref);
  return valid;
}

// A file path that would read back differently is flagged invalid: with an empty host a path
// that starts with "//" reads as a host, and a drive letter that appears only after dot
// segments were removed reads back upper-cased with ":".
bool FilePathReadsBack(const CanonOutput& out, const Parsed& p) {
  std::string_view path = out.view(p.path.begin, p.path.len);
  if (p.host.len == 0 && path.size() >= 2 && path[0] == '/' && path[1] == '/') return false;
  size_t k = 0;
  while (k < path.size() && path[k] == '/') ++k;
  if (!IsDriveSpec(path.data(), static_cast<int32_t>(path.size()), static_cast<int32_t>(k))) {
    return true;
  }
  return k == 1 && path[k] >= 'A' && path[k] <= 'Z' && path[k + 1] == ':';
}

void AppendFilePath(const char* s, const Component& path, CanonOutput* out, bool* valid) {
  int32_t i = path.begin;
  while (i < path.end() && IsSlash(s[i])) ++i;
  const int32_t root = out->length();
  if (IsDriveSpec(s, path.end(), i)) {
    out->push_back('/');
    out->push_back(static_cast<char>(s[i] & ~0x20));
    out->push_back(':');
    i += 2;
  } else {
    i = path.begin;
  }
  *valid &= AppendPathRules(s, i, path.end(), true, root, out);
}

bool CanonicalizeFileUrl(const char* s, const Parsed& in, CanonOutput* out, Parsed* p,
                         HostKind* kind) {
  out->Append("file://");
  p->scheme = Component(0, 4);
  bool valid = CanonicalizeHost(s, in.host, out, &p->host, kind);
  if (!p->host.is_present()) p->host = Component(out->length(), 0);
  const int32_t path_begin = out->length();
  if (in.path.is_nonempty()) {
    AppendFilePath(s, in.path, out, &valid);
  } else {
    out->push_back('/');
  }
  p->path = Component(path_begin, out->length() - path_begin);
  CanonicalizeQuery(s, in.query, out, &p->query);
  valid &= CanonicalizeRef(s, in.ref, out, &p->ref);
  return valid && FilePathReadsBack(*out, *p);
}

bool CanonicalizeMailtoUrl(const char* s, const Parsed& in, CanonOutput* out, Parsed* p) {
  out->Append("mailto:");
  p->scheme = Component(0, 6);
  bool valid = AppendEscapedText(s, in.path, out, &p->path);
  CanonicalizeQuery(s, in.query, out, &p->query);
  return valid;
}

bool CanonicalizePathUrl(const char* s, const Parsed& in, CanonOutput* out, Parsed* p) {
  bool valid = CanonicalizeScheme(s, in.scheme, out, &p->scheme);
  out->push_back(':');
  valid &= AppendEscapedText(s, in.path, out, &p->path);
  // A one-letter scheme would read back as a drive letter.
  return valid && in.scheme.len > 1;
}

// Everything but the final size check.
bool CanonicalizePrepared(std::string_view input, CanonOutput* out, Parsed* parsed,
                          HostKind* host_kind) {
  *parsed = Parsed();
  *host_kind = HostKind::kName;
  char buffer[kPrefixRoom + kMaxUrlBytes];
  char* s;
  int32_t len;
  if (!Prepare(input, buffer, &s, &len)) return false;
  const void* colon = std::memchr(s, ':', static_cast<size_t>(len));
  if (colon == nullptr) return false;
  const auto scheme_len = static_cast<int32_t>(static_cast<const char*>(colon) - s);
  if (std::memchr(s, '.', static_cast<size_t>(scheme_len)) != nullptr) return false;

  Parsed in;
  in.scheme = Component(0, scheme_len);
  std::string_view scheme(s, static_cast<size_t>(scheme_len));
  const int32_t after = scheme_len + 1;
  if (EqualsIgnoreCase(scheme, "file")) {
    ParseFileUrl(s, len, after, &in);
    return CanonicalizeFileUrl(s, in, out, parsed, host_kind);
  }
  if (EqualsIgnoreCase(scheme, "mailto")) {
    ParseMailtoUrl(s, len, after, &in);
    return CanonicalizeMailtoUrl(s, in, out, parsed);
  }
  if (IsStandardScheme(scheme)) {
    ParseStandardUrl(s, len, after, &in);
    return CanonicalizeStandardUrl(s, in, out, parsed, host_kind);
  }
  ParsePathUrl(s, len, after, &in);
  return CanonicalizePathUrl(s, in, out, parsed);
}

}  // namespace

int DefaultPortForScheme(std::string_view scheme) {
  if (EqualsIgnoreCase(scheme, "http") || EqualsIgnoreCase(scheme, "ws")) return 80;
  if (EqualsIgnoreCase(scheme, "https") || EqualsIgnoreCase(scheme, "wss")) return 443;
  if (EqualsIgnoreCase(scheme, "ftp")) return 21;
  if (EqualsIgnoreCase(scheme, "gopher")) return 70;
  return -1;
}

bool IsStandardScheme(std::string_view scheme) {
  static constexpr std::string_view kStandard[] = {"http",   "https", "file", "ftp",
                                                   "gopher", "ws",    "wss",  "hcbrowser"};
  for (std::string_view s : kStandard) {
    if (EqualsIgnoreCase(scheme, s)) return true;
  }
  return false;
}

bool Canonicalize(std::string_view input, CanonOutput* out, Parsed* parsed, HostKind* host_kind) {
  const bool valid = CanonicalizePrepared(input, out, parsed, host_kind);
  // Escaping can triple the text; a canonical text longer than any accepted input could not
  // be read again.
  return valid && out->length() <= kMaxUrlBytes;
}

}  // namespace burl
