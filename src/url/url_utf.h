// UTF-8 and UTF-16 helpers of the URL canonicalizer: strict UTF-8 decoding (overlong forms,
// surrogates and values above U+10FFFF are errors), UTF-8 encoding, and the conversion of
// wide input to UTF-8.
// Pure functions: safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace burl {

class CanonOutput;

// Decodes the sequence at `*pos` (before `end`). On success stores the code point, moves
// `*pos` past the sequence and returns true; on an invalid or truncated sequence moves `*pos`
// one byte on and returns false.
bool ReadUtf8Char(const char* text, int32_t end, int32_t* pos, uint32_t* code_point);

// Appends the UTF-8 form of `code_point` (which must be a scalar value).
void AppendUtf8(uint32_t code_point, std::string* out);
void AppendUtf8(uint32_t code_point, CanonOutput* out);

// Writes the sequence at `*pos` as percent-escaped UTF-8 bytes and moves past it. An invalid
// sequence has its first byte escaped and gives false.
bool AppendUtf8Escaped(const char* text, int32_t end, int32_t* pos, CanonOutput* out);

// Wide text to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);

}  // namespace burl
