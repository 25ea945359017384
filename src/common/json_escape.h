// Escaping of text for use inside a JSON string literal, as the module's message texts do it:
// a backslash before every quotation mark and backslash; backspace, form feed, line feed,
// carriage return and tab as \b, \f, \n, \r and \t; every other code unit below U+0020 as \u
// and four upper-case hex digits; everything else (the solidus and non-ASCII included) as it
// is. (The JSON writer of json/json_writer.h also escapes the solidus; texts built by format
// strings use this one.)
//
// Pure function: safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

std::u16string EscapeJsonText(std::u16string_view text);

}  // namespace Logic
