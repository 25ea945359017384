// Component records of a canonical URL: where the scheme, user name, password, host, port,
// path, query and fragment lie inside the canonical string, and what kind of host it holds.
// Plain values: safe to copy between threads; no shared state.
#pragma once

#include <cstdint>

namespace burl {

// A range of the canonical string. `len` is -1 when the component is absent and 0 when it is
// present but empty (for example the query of "http://a/?").
struct Component {
  int32_t begin = 0;
  int32_t len = -1;

  Component() = default;
  Component(int32_t b, int32_t l) : begin(b), len(l) {}

  bool is_present() const { return len >= 0; }
  bool is_nonempty() const { return len > 0; }
  int32_t end() const { return begin + (len > 0 ? len : 0); }
  void reset() {
    begin = 0;
    len = -1;
  }
  bool operator==(const Component&) const = default;
};

// The eight components of one URL, either over an input text (while parsing) or over the
// canonical string (the result).
struct Parsed {
  Component scheme;
  Component username;
  Component password;
  Component host;
  Component port;
  Component path;
  Component query;
  Component ref;

  bool operator==(const Parsed&) const = default;
};

// What a canonical host is. Subdomain wildcards of URL match patterns never apply to the two
// address kinds.
enum class HostKind : uint8_t { kName, kIPv4, kIPv6 };

}  // namespace burl
