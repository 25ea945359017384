// Host canonicalization: the host character table, percent decoding, international labels
// written as "xn--" Punycode, IPv4 rewriting and bracketed IPv6 addresses.
// Pure function over its arguments: safe from any thread.
#pragma once

#include "url/url_component.h"

namespace burl {

class CanonOutput;

// Longest label written for an international name, "xn--" prefix included.
constexpr int kMaxIdnLabelBytes = 256;

// Writes the canonical form of `host` (a range of `text`) to `out`, records the written range
// in `*out_host` and the host's kind in `*kind`. An absent or empty host writes nothing.
// Returns false when the host is invalid; the text is still written as far as possible.
//
//   "Ab.CD" -> "ab.cd"            "0x7f.1" -> "127.0.0.1" (IPv4)
//   "b\xC3\xBCcher.de" -> "xn--bcher-kva.de"    "[2001:DB8:0:0::1]" -> "[2001:db8::1]" (IPv6)
//
// A ":" outside brackets makes the host invalid: it could not be told from a port when the
// canonical text is read again.
bool CanonicalizeHost(const char* text, const Component& host, CanonOutput* out,
                      Component* out_host, HostKind* kind);

}  // namespace burl
