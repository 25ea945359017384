// The path rules of the URL canonicalizer: dot segments, backslashes, percent escapes and the
// characters that are escaped (or, in file URLs, copied unchanged).
// Pure function over its arguments: safe from any thread.
#pragma once

#include <cstdint>

namespace burl {

class CanonOutput;

// Writes text[begin, end) to `out` through the path rules. `root` is the output index of the
// path's first "/": a ".." segment never removes it. `file_scheme` copies characters that
// other URLs escape. Returns false when the path makes the URL invalid (a NUL byte, plain or
// escaped).
//
//   "/a/./b/../c" -> "/a/c"      "/a\\%41%2e%zz" -> "/a/A%2e%zz"      "/%2e%2E/x" -> "/x"
bool AppendPathRules(const char* text, int32_t begin, int32_t end, bool file_scheme, int32_t root,
                     CanonOutput* out);

}  // namespace burl
