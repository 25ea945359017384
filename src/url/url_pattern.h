// burl::URLPattern: a URL match pattern as extensions write them in the "permissions" array
// of their manifests ("<all_urls>", "*://*.example.com/*", "file:///home/*", ...): parsing
// with numbered results, and deciding whether a canonical URL matches.
//
// A pattern is a value. Concurrent const calls are safe except GetAsString(), which fills a
// cache; give each thread its own copy or call GetAsString() once before sharing.
//
//   burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
//   if (pattern.Parse("*://*.example.com/*") == burl::URLPattern::PARSE_SUCCESS &&
//       pattern.MatchesUrl(burl::ParsedUrl("https://www.example.com/a"))) { ... }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace burl {

class ParsedUrl;

class URLPattern {
 public:
  // Scheme mask bits.
  enum : int32_t {
    SCHEME_HTTP = 1 << 0,
    SCHEME_HTTPS = 1 << 1,
    SCHEME_FILE = 1 << 2,
    SCHEME_FTP = 1 << 3,
    SCHEME_ALL = -1,
  };

  enum ParseResult {
    PARSE_SUCCESS = 0,
    PARSE_ERROR_MISSING_SCHEME_SEPARATOR = 1,
    PARSE_ERROR_INVALID_SCHEME = 2,
    PARSE_ERROR_WRONG_SCHEME_TYPE = 3,
    PARSE_ERROR_EMPTY_HOST = 4,
    PARSE_ERROR_INVALID_HOST_WILDCARD = 5,
    PARSE_ERROR_EMPTY_PATH = 6,
    PARSE_ERROR_INVALID_PORT = 7,
  };

  // "Success.", "Missing scheme separator.", ...; "" for a value outside the enumeration.
  static const char* GetParseResultString(ParseResult result);

  // True for "*" and for every scheme whose "<scheme>://www.xx.xx" canonicalizes to one of the
  // standard schemes.
  static bool IsStandardSchemeName(std::string_view scheme);

  explicit URLPattern(int32_t valid_schemes) : valid_schemes_(valid_schemes) {}

  // Parses `pattern` into this object. On failure the fields set before the failure keep
  // their values; callers discard the pattern.
  ParseResult Parse(std::string_view pattern);

  // Whether `url` matches: scheme, then "<all_urls>", then host (not for "file" patterns),
  // port and path. An invalid URL is matched on whatever components it has.
  bool MatchesUrl(const ParsedUrl& url) const;

  // Whether `scheme` may be named and matched under the mask.
  bool IsValidScheme(std::string_view scheme) const;

  // Setters clear the cached text form. SetScheme and SetPort return whether the value is
  // accepted; SetScheme stores the name either way, SetPort only when accepted.
  bool SetScheme(std::string_view scheme);
  void SetHost(std::string_view host);
  void SetMatchSubdomains(bool value);
  void SetMatchAllUrls(bool value);
  void SetPath(std::string_view path);
  bool SetPort(std::string_view port);

  int32_t valid_schemes() const { return valid_schemes_; }
  bool match_all_urls() const { return match_all_urls_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  bool match_subdomains() const { return match_subdomains_; }
  const std::string& port() const { return port_; }
  const std::string& path() const { return path_; }
  const std::string& escaped_path() const { return escaped_path_; }

  // The pattern written as text, cached until the next change: "<all_urls>", or scheme,
  // separator, host with "*." when subdomains match, ":port" unless "*", and path. Parsing
  // the text gives this pattern back.
  const std::string& GetAsString() const;

  // Equal fields (the cached text form is not compared).
  bool operator==(const URLPattern& other) const;

 private:
  bool MatchesHost(const ParsedUrl& url) const;
  bool MatchesPort(const ParsedUrl& url) const;
  // Finds where the path starts for a standard scheme, setting the host on the way; a parse
  // error code when there is none.
  ParseResult ParseHostPart(std::string_view pattern, size_t pos, size_t* path_start);

  int32_t valid_schemes_;
  bool match_all_urls_ = false;
  std::string scheme_;
  std::string host_;
  bool match_subdomains_ = false;
  std::string port_ = "*";
  std::string path_;
  std::string escaped_path_;
  mutable std::string text_;
};

}  // namespace burl
