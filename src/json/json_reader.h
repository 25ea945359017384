// The JSON reader: UTF-16 text, or a whole UTF-8 file, into a new CJsonValue tree.
//
// The reader is deliberately lenient on a few points that stored files and peers rely on:
//   - the literals true, false and null are accepted in any mix of letter case;
//   - a raw TAB is accepted inside a string (every other raw character below U+0020 fails);
//   - \' is accepted as an escape for the apostrophe;
//   - a repeated object key keeps the later value;
//   - whatever follows the first complete value is ignored ("[1] x" reads as [1]).
// and strict on others: no trailing commas, no comments, no unquoted keys, no escapes beyond
// \" \' \/ \\ \b \f \n \r \t \uXXXX, and no leading zeros, so "012" inside an array fails.
// The text ends at its first NUL code unit. Containers may nest at most kJsonMaxDepth levels;
// deeper input fails like any other malformed text, so hostile nesting cannot exhaust the stack.
//
// Failure is reported only as a null result: no position, no partial tree.
//
// Thread safety: pure functions, safe from any thread; the result belongs to the caller.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace Logic {

// The deepest nesting of arrays and objects the reader accepts; the top-level container is at
// depth 1. The reader recurses once per level, so this bounds its stack use.
inline constexpr int kJsonMaxDepth = 512;

// Reads one value from `text` (NUL-terminated), skipping leading whitespace (space, TAB, CR,
// LF). Empty or all-whitespace text, malformed text and a null pointer give null.
std::unique_ptr<CJsonValue> ParseJson(const char16_t* text);
std::unique_ptr<CJsonValue> ParseJson(const std::u16string& text);

// Reads the value from UTF-8 bytes as a file holds them: a leading byte-order mark (EF BB BF)
// is dropped and the rest converted to UTF-16 (ill-formed sequences become U+FFFD, see
// utf8_text.h) before reading as ParseJson does.
std::unique_ptr<CJsonValue> ParseJsonUtf8(std::string_view bytes);

// Reads the whole file at `path` and proceeds as ParseJsonUtf8. Either separator may be used in
// the path ("dir\\manifest.json" works). A missing or unreadable file gives null.
std::unique_ptr<CJsonValue> ParseJsonFile(const std::u16string& path);

}  // namespace Logic
