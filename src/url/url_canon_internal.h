// Component writers shared by the kinds of URL the canonicalizer knows (scheme, user
// information, port, query, fragment, and the escaped text of mailto and path URLs).
// Each appends to `out`, records the written range and returns false when the component
// makes the URL invalid. Pure functions: safe from any thread.
#pragma once

#include "url/url_component.h"

namespace burl {

class CanonOutput;

// Letters (lower-cased), digits, "+", "-" and "." are copied; anything else is escaped and
// invalid, as is a first character that is not a letter or an empty scheme.
bool CanonicalizeScheme(const char* text, const Component& scheme, CanonOutput* out,
                        Component* out_scheme);

// "user:password@" with escaping; nothing when both are empty.
bool CanonicalizeUserInfo(const char* text, const Component& username, const Component& password,
                          CanonOutput* out, Component* out_username, Component* out_password);

// ":" and the decimal number, or nothing when the port is empty or the scheme's default. A
// port that is not a number from 0 to 65535 is written unchanged and is invalid.
bool CanonicalizePort(const char* text, const Component& port, int default_port, CanonOutput* out,
                      Component* out_port);

// "?" and the query, bytes without the query-safe class escaped. Always valid.
void CanonicalizeQuery(const char* text, const Component& query, CanonOutput* out,
                       Component* out_query);

// "#" and the fragment: NUL dropped, bytes below 0x20 and above 0x80 escaped, a 0x80 byte
// written as U+FFFD. That replacement loses a byte of the input, so it makes the URL invalid
// (the canonical text would not read back to itself).
bool CanonicalizeRef(const char* text, const Component& ref, CanonOutput* out, Component* out_ref);

// Bytes 0x20..0x7F copied, everything else written as escaped UTF-8; false on an invalid
// UTF-8 sequence. Used by mailto and path URLs.
bool AppendEscapedText(const char* text, const Component& range, CanonOutput* out,
                       Component* out_range);

}  // namespace burl
