// The JSON writer: a CJsonValue tree into compact UTF-16 text, with no whitespace anywhere.
//
// Output rules that stored files and peers depend on:
//   - numbers are written as a standard stream writes a double by default: general notation
//     with 6 significant digits (1234567 -> "1.23457e+06", 0.1 -> "0.1"); NaN and the
//     infinities are written as null;
//   - strings escape the quotation mark, the solidus and the backslash with a backslash
//     ("a/b" -> "a\/b"), write BS FF LF CR TAB as \b \f \n \r \t and every other code unit
//     below U+0020 as \u00XX with upper-case hex digits; everything else, non-ASCII included,
//     is written unchanged;
//   - object members come out in key order (plain code-unit order).
// The writer cannot fail.
//
// Thread safety: pure functions, safe from any thread as long as nobody changes the tree.
#pragma once

#include <string>
#include <string_view>

#include "json/json_value.h"

namespace Logic {

std::u16string ToJsonString(const CJsonValue& value);

// Appends `text` escaped as above, without the surrounding quotation marks.
void AppendJsonEscaped(std::u16string_view text, std::u16string* out);

}  // namespace Logic
