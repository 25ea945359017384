// burl::ParsedUrl: a URL in canonical form with its component records, as the rest of the
// module holds it. Constructing one canonicalizes at once (see url_canon.h for the rules).
// A ParsedUrl is an immutable value after construction: safe to read from any number of
// threads, safe to copy and move.
//
//   burl::ParsedUrl url(u"HTTP://User@Ab.CD:8080/a/../b?q#f");
//   url.valid();        // true
//   url.spec();         // "http://User@ab.cd:8080/b?q#f"
//   url.HostText();     // "ab.cd"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "url/url_component.h"

namespace burl {

class ParsedUrl {
 public:
  // An empty, invalid URL.
  ParsedUrl() = default;
  // Wide text, converted to UTF-8 first; `options` is stored unchanged for the caller.
  explicit ParsedUrl(std::u16string_view url, int32_t options = 0);
  // UTF-8 text.
  explicit ParsedUrl(std::string_view url);

  const std::string& spec() const { return spec_; }
  bool valid() const { return valid_; }
  int32_t options() const { return options_; }
  HostKind host_kind() const { return host_kind_; }
  const Parsed& parsed() const { return parsed_; }

  const Component& scheme() const { return parsed_.scheme; }
  const Component& username() const { return parsed_.username; }
  const Component& password() const { return parsed_.password; }
  const Component& host() const { return parsed_.host; }
  const Component& port() const { return parsed_.port; }
  const Component& path() const { return parsed_.path; }
  const Component& query() const { return parsed_.query; }
  const Component& ref() const { return parsed_.ref; }

  // The text of a component; empty when it is absent.
  std::string_view ComponentText(const Component& component) const;
  std::string_view SchemeText() const { return ComponentText(parsed_.scheme); }
  std::string_view HostText() const { return ComponentText(parsed_.host); }
  std::string_view PortText() const { return ComponentText(parsed_.port); }
  std::string_view PathText() const { return ComponentText(parsed_.path); }

 private:
  void Init(std::string_view utf8);

  std::string spec_;
  Parsed parsed_;
  int32_t options_ = 0;
  HostKind host_kind_ = HostKind::kName;
  bool valid_ = false;
};

}  // namespace burl
