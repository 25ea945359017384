#include "url/url_pattern.h"

#include <cerrno>
#include <cstdlib>

#include "url/canon_output.h"
#include "url/char_tables.h"
#include "url/match_pattern.h"
#include "url/parsed_url.h"
#include "url/url_canon.h"

namespace burl {

namespace {

constexpr const char* kParseResultText[] = {
    "Success.",
    "Missing scheme separator.",
    "Invalid scheme.",
    "Wrong scheme type.",
    "Host can not be empty.",
    "Invalid host wildcard.",
    "Empty path.",
    "Invalid port.",
};

constexpr std::string_view kAsciiWhitespace = "\t\n\v\f\r ";

std::string_view TrimWhitespace(std::string_view s) {
  size_t first = s.find_first_not_of(kAsciiWhitespace);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(kAsciiWhitespace);
  return s.substr(first, last - first + 1);
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

// A port text as the CRT's strtol reads it in base 10: not empty, no leading white space, an
// optional sign, every character consumed, no overflow; and a value from 0 to 65535.
bool IsPortNumber(std::string_view text) {
  if (text.empty() || kAsciiWhitespace.find(text.front()) != std::string_view::npos) return false;
  std::string copy(text);  // strtol needs a terminated string
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(copy.c_str(), &end, 10);
  if (errno == ERANGE || end != copy.c_str() + copy.size()) return false;
  return value >= 0 && value <= 65535;
}

// The URL's port as the CRT's atoi reads it: 0 when there is none.
int AtoiPort(std::string_view port) {
  std::string copy(port);
  return static_cast<int>(std::strtol(copy.c_str(), nullptr, 10));
}

}  // namespace

const char* URLPattern::GetParseResultString(ParseResult result) {
  auto index = static_cast<int>(result);
  if (index < 0 || index > PARSE_ERROR_INVALID_PORT) return "";
  return kParseResultText[index];
}

bool URLPattern::IsStandardSchemeName(std::string_view scheme) {
  if (scheme == "*") return true;
  std::string text(scheme);
  text += "://www.xx.xx";
  CanonOutput out;
  Parsed parsed;
  HostKind kind;
  Canonicalize(text, &out, &parsed, &kind);  // only the scheme matters, valid or not
  if (!parsed.scheme.is_nonempty()) return false;
  return IsStandardScheme(out.view(parsed.scheme.begin, parsed.scheme.len));
}

bool URLPattern::IsValidScheme(std::string_view scheme) const {
  if (valid_schemes_ == SCHEME_ALL) return true;
  if (scheme == "http") return (valid_schemes_ & SCHEME_HTTP) != 0;
  if (scheme == "https") return (valid_schemes_ & SCHEME_HTTPS) != 0;
  if (scheme == "file") return (valid_schemes_ & SCHEME_FILE) != 0;
  if (scheme == "ftp") return (valid_schemes_ & SCHEME_FTP) != 0;
  return false;
}

bool URLPattern::SetScheme(std::string_view scheme) {
  text_.clear();
  scheme_ = scheme;
  if (scheme_ == "*") {
    valid_schemes_ &= SCHEME_HTTP | SCHEME_HTTPS;
    return true;
  }
  return IsValidScheme(scheme_);
}

void URLPattern::SetHost(std::string_view host) {
  text_.clear();
  host_ = host;
}

void URLPattern::SetMatchSubdomains(bool value) {
  text_.clear();
  match_subdomains_ = value;
}

void URLPattern::SetMatchAllUrls(bool value) {
  text_.clear();
  match_all_urls_ = value;
}

void URLPattern::SetPath(std::string_view path) {
  text_.clear();
  path_ = path;
  escaped_path_.clear();
  escaped_path_.reserve(path.size());
  for (char c : path) {
    if (c == '\\' || c == '?') escaped_path_.push_back('\\');
    escaped_path_.push_back(c);
  }
}

bool URLPattern::SetPort(std::string_view port) {
  text_.clear();
  if (port != "*" && (DefaultPortForScheme(scheme_) < 0 || !IsPortNumber(port))) return false;
  port_ = port;
  return true;
}

URLPattern::ParseResult URLPattern::ParseHostPart(std::string_view pattern, size_t pos,
                                                  size_t* path_start) {
  size_t slash = pattern.find('/', pos);
  if (slash == pos) return PARSE_ERROR_EMPTY_HOST;
  if (slash == std::string_view::npos) return PARSE_ERROR_EMPTY_PATH;
  std::string_view host_text = pattern.substr(pos, slash - pos);
  // Components are trimmed one by one; a leading "*" component asks for subdomains and is
  // dropped, the others are joined again with ".".
  std::string host;
  size_t first_kept = 0;
  for (size_t start = 0, index = 0;; ++index) {
    size_t dot = host_text.find('.', start);
    std::string_view component =
        TrimWhitespace(host_text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (index == 0 && component == "*") {
      SetMatchSubdomains(true);
      first_kept = 1;
    } else {
      if (index > first_kept) host.push_back('.');
      host.append(component);
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  SetHost(host);
  *path_start = slash;
  return PARSE_SUCCESS;
}

URLPattern::ParseResult URLPattern::Parse(std::string_view pattern) {
  text_.clear();
  if (pattern == "<all_urls>") {
    match_all_urls_ = true;
    match_subdomains_ = true;
    scheme_ = "*";
    host_.clear();
    SetPath("/*");
    return PARSE_SUCCESS;
  }
  size_t separator = pattern.find("://");
  const bool standard_separator = separator != std::string_view::npos;
  if (!standard_separator) {
    separator = pattern.find(':');
    if (separator == std::string_view::npos) return PARSE_ERROR_MISSING_SCHEME_SEPARATOR;
  }
  if (!SetScheme(pattern.substr(0, separator))) return PARSE_ERROR_INVALID_SCHEME;
  if (IsStandardSchemeName(scheme_) != standard_separator) return PARSE_ERROR_WRONG_SCHEME_TYPE;
  const size_t pos = separator + (standard_separator ? 3 : 1);
  if (pos >= pattern.size()) return PARSE_ERROR_EMPTY_HOST;

  size_t path_start = pos;  // a scheme that is not standard has no host
  if (standard_separator && scheme_ == "file") {
    size_t slash = pattern.find('/', pos);
    path_start = slash == std::string_view::npos ? pos - 1 : slash;
  } else if (standard_separator) {
    ParseResult result = ParseHostPart(pattern, pos, &path_start);
    if (result != PARSE_SUCCESS) return result;
  }
  SetPath(pattern.substr(path_start));

  size_t colon = host_.find(':');
  if (colon != std::string::npos) {
    if (!SetPort(std::string_view(host_).substr(colon + 1))) return PARSE_ERROR_INVALID_PORT;
    host_.resize(colon);
  }
  if (host_.find('*') != std::string::npos) return PARSE_ERROR_INVALID_HOST_WILDCARD;
  return PARSE_SUCCESS;
}

bool URLPattern::MatchesHost(const ParsedUrl& url) const {
  std::string_view host = url.HostText();
  if (EqualsIgnoreAsciiCase(host, host_)) return true;
  if (!match_subdomains_) return false;
  if (host_.empty()) return true;
  if (url.host_kind() != HostKind::kName) return false;
  if (host.size() < host_.size() + 2) return false;
  if (host.substr(host.size() - host_.size()) != host_) return false;
  return host[host.size() - host_.size() - 1] == '.';
}

bool URLPattern::MatchesPort(const ParsedUrl& url) const {
  if (port_ == "*") return true;
  return port_ == std::to_string(AtoiPort(url.PortText()));
}

bool URLPattern::MatchesUrl(const ParsedUrl& url) const {
  std::string_view scheme = url.SchemeText();
  if (!IsValidScheme(scheme)) return false;
  if (scheme_ != "*" && scheme_ != scheme) return false;
  if (match_all_urls_) return true;
  if (scheme_ != "file" && !MatchesHost(url)) return false;
  if (!MatchesPort(url)) return false;
  return MatchPattern(url.PathText(), escaped_path_);
}

const std::string& URLPattern::GetAsString() const {
  if (!text_.empty()) return text_;
  if (match_all_urls_) {
    text_ = "<all_urls>";
    return text_;
  }
  const bool standard = IsStandardSchemeName(scheme_);
  text_ = scheme_;
  text_ += standard ? "://" : ":";
  if (standard && scheme_ != "file") {
    // The port is written when it is not "*", and also as ":*" where the host alone would
    // read back differently: a host that ends in blanks (parsing trims them) or an empty host
    // without wildcard (it would read as a missing host).
    const bool write_port =
        port_ != "*" ||
        (!host_.empty() && kAsciiWhitespace.find(host_.back()) != std::string_view::npos) ||
        (host_.empty() && !match_subdomains_);
    if (match_subdomains_) {
      text_ += '*';
      // "*." keeps a port that follows an empty host apart from the wildcard.
      if (!host_.empty() || write_port) text_ += '.';
    }
    text_ += host_;
    if (write_port) {
      text_ += ':';
      text_ += port_;
    }
  }
  text_ += path_;
  return text_;
}

bool URLPattern::operator==(const URLPattern& other) const {
  return valid_schemes_ == other.valid_schemes_ && match_all_urls_ == other.match_all_urls_ &&
         scheme_ == other.scheme_ && host_ == other.host_ &&
         match_subdomains_ == other.match_subdomains_ && port_ == other.port_ &&
         path_ == other.path_ && escaped_path_ == other.escaped_path_;
}

}  // namespace burl
