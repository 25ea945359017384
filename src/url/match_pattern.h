// MatchPattern: the glob matcher of URL match patterns, over UTF-8 text.
// Pure function: safe from any thread.
//
// In `pattern`, "\" makes the next character literal, "?" matches zero or one character and
// "*" any run of characters, including none. Characters are compared as whole UTF-8 sequences;
// an invalid sequence never equals anything (wildcards may still pass over it). Nested
// attempts at "?" and "*" go at most 16 levels deep; deeper attempts fail.
//
//   MatchPattern("/foo/bar", "/foo/*")  -> true
//   MatchPattern("/a?c", "/a\\?c")      -> true   (escaped "?" is literal)
//   MatchPattern("/ac", "/a?c")         -> true   ("?" also matches nothing)
#pragma once

#include <string_view>

namespace burl {

constexpr int kMaxMatchDepth = 16;

bool MatchPattern(std::string_view text, std::string_view pattern);

}  // namespace burl
