// Splitting of a prepared URL text into its components, one function per kind of URL
// (standard, file, mailto, path). Only finds boundaries; nothing is canonicalized here.
// Pure functions: safe from any thread.
#pragma once

#include <cstdint>

#include "url/url_component.h"

namespace burl {

// Each function takes the text, its length and the index just after the scheme's ":", and
// fills every component of `parsed` except the scheme.

// "//user:pass@host:port/path?query#ref": any number of "/" or "\" may follow the colon. The
// last "@" of the authority ends the user information, whose first ":" starts the password;
// the port follows the last ":" that comes after any "]".
void ParseStandardUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed);

// "file:" with its slashes: a drive letter or exactly three slashes mean an empty host;
// otherwise the text up to the next slash is the host.
void ParseFileUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed);

// "mailto:path?query"; there is no fragment.
void ParseMailtoUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed);

// Any other scheme: everything after the colon is the path.
void ParsePathUrl(const char* text, int32_t len, int32_t after_scheme, Parsed* parsed);

// True when text[pos] is an ASCII letter followed by ":" or "|".
bool IsDriveSpec(const char* text, int32_t len, int32_t pos);

}  // namespace burl
