#include "url/url_parse.h"

#include "url/char_tables.h"

namespace burl {

namespace {

Component Range(int32_t begin, int32_t end) { return Component(begin, end - begin); }

bool EndsAuthority(char c) { return IsSlash(c) || c == '?' || c == '#'; }

// Path from `begin` up to "?" or "#", then the query and the fragment.
void ParsePathQueryRef(const char* s, int32_t len, int32_t begin, Parsed* parsed) {
  int32_t i = begin;
  while (i < len && s[i] != '?' && s[i] != '#') ++i;
  parsed->path = i > begin ? Range(begin, i) : Component();
  if (i < len && s[i] == '?') {
    int32_t query_begin = ++i;
    while (i < len && s[i] != '#') ++i;
    parsed->query = Range(query_begin, i);
  }
  if (i < len && s[i] == '#') parsed->ref = Range(i + 1, len);
}

void ParseAuthority(const char* s, int32_t begin, int32_t end, Parsed* parsed) {
  int32_t at = -1;
  for (int32_t i = begin; i < end; ++i) {
    if (s[i] == '@') at = i;
  }
  int32_t host_begin = begin;
  if (at >= 0) {
    int32_t colon = begin;
    while (colon < at && s[colon] != ':') ++colon;
    parsed->username = Range(begin, colon);
    if (colon < at) parsed->password = Range(colon + 1, at);
    host_begin = at + 1;
  }
  int32_t colon = -1;
  int32_t bracket = -1;
  for (int32_t i = host_begin; i < end; ++i) {
    if (s[i] == ':') colon = i;
    if (s[i] == ']') bracket = i;
  }
  // An unclosed "[" keeps every ":" inside the host.
  const bool unclosed = host_begin < end && s[host_begin] == '[' && bracket < 0;
  if (colon > bracket && !unclosed) {
    parsed->host = Range(host_begin, colon);
    parsed->port = Range(colon + 1, end);
  } else {
    parsed->host = Range(host_begin, end);
  }
}

}  // namespace

bool IsDriveSpec(const char* text, int32_t len, int32_t pos) {
  return pos + 1 < len && IsAsciiAlpha(static_cast<unsigned char>(text[pos])) &&
         (text[pos + 1] == ':' || text[pos + 1] == '|');
}

void ParseStandardUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed) {
  int32_t i = after_scheme;
  while (i < len && IsSlash(text[i])) ++i;
  int32_t auth_begin = i;
  while (i < len && !EndsAuthority(text[i])) ++i;
  if (i > auth_begin) ParseAuthority(text, auth_begin, i, parsed);
  ParsePathQueryRef(text, len, i, parsed);
}

void ParseFileUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed) {
  int32_t i = after_scheme;
  while (i < len && IsSlash(text[i])) ++i;
  const int32_t slashes = i - after_scheme;
  int32_t path_begin;
  if (IsDriveSpec(text, len, i)) {
    parsed->host = Component(i, 0);
    path_begin = i;
  } else if (slashes == 3) {
    parsed->host = Component(i, 0);
    path_begin = i - 1;
  } else {
    int32_t host_end = i;
    while (host_end < len && !EndsAuthority(text[host_end])) ++host_end;
    parsed->host = Range(i, host_end);
    path_begin = host_end;
  }
  ParsePathQueryRef(text, len, path_begin, parsed);
}

void ParseMailtoUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed) {
  int32_t i = after_scheme;
  while (i < len && text[i] != '?') ++i;
  parsed->path = Range(after_scheme, i);
  if (i < len) parsed->query = Range(i + 1, len);
}

void ParsePathUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed) {
  parsed->path = Range(after_scheme, len);
}

}  // namespace burl
