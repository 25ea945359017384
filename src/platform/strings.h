// UTF-8 ⇄ UTF-16 conversion at the edges (file names, UTF-8 files, the terminal), and the
// wide printf-style formatter that every system format goes through.
// Pure functions: safe from any thread.
//
// The formatter keeps the system's formats as written: `%s` is a wide (char16_t*) string,
// `%S` a narrow UTF-8 one, plus `%d %i %u %x %X %o %c %p %f %e %g %I64d %lld %ld %zu %%` with
// flags (`-+ 0#`), widths and precisions (also `*`). A null string prints "(null)".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace halcy {

// Invalid UTF-8 (stray continuation, overlong form, surrogate, > U+10FFFF, truncated sequence)
// becomes U+FFFD, one per maximal invalid subpart.
std::u16string Utf8ToUtf16(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Formats into a growing string (appends).
void StringAppendV(std::u16string* out, const char16_t* format, va_list args);
std::u16string StringPrintf(const char16_t* format, ...);

// Formats into `buffer` of `size` chars without allocating: writes at most size - 1 chars and
// a NUL; returns the number of chars written, or -1 when the text was cut.
int FormatToBuffer(char16_t* buffer, size_t size, const char16_t* format, va_list args);

// Lower-case ASCII folding, for case-insensitive keys and tags.
std::u16string AsciiToLower(std::u16string_view text);

}  // namespace halcy

// The secure CRT forms that the module's code calls.
constexpr size_t _TRUNCATE = static_cast<size_t>(-1);
// With count == _TRUNCATE: as much as fits, NUL-terminated, -1 when cut. With a count that
// fits: at most count chars. A buffer too small for a non-truncating count gets an empty
// string and -1 (the invalid-parameter handler is not modelled).
int _vsnwprintf_s(char16_t* buffer, size_t size_of_buffer, size_t count, const char16_t* format,
                  va_list args);
int _snwprintf_s(char16_t* buffer, size_t size_of_buffer, size_t count, const char16_t* format,
                 ...);
