// The argument conventions shared by the common command host's handlers. A command's argument
// text is a JSON object; members are looked up by exact key. Text members are taken as they
// stand; members used as numbers are read as their text and converted by DecimalToLong, so
// "12", 12 and "12px" all give 12 and "abc" gives 0. A missing member leaves the handler's
// default in place.
//
// Pure functions: safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "json/json_value.h"
#include "platform/win_types.h"

namespace Logic {

// What a handler records when the argument text is not a JSON object.
inline constexpr char16_t kMalformedArgumentsMessage[] = u"参数格式错误,无法解析.";

// The parsed argument text, or null when it does not parse or its root is not an object.
std::unique_ptr<CJsonValue> ParseCommandArguments(const char16_t* text);

// Decimal string-to-integer conversion: leading blanks skipped, an optional sign, then digits
// up to the first non-digit; 0 when there are none. Values beyond 32 bits are clamped.
LONG DecimalToLong(std::u16string_view text);

// The member `key` of `object`, or null.
const CJsonValue* FindMember(const CJsonValue& object, std::u16string_view key);

// The text of a member: a string as it stands, an integral number in decimal, anything else
// as its JSON text.
std::u16string MemberText(const CJsonValue& value);

// Sets `*out` from member `key` and returns true; leaves `*out` alone and returns false when
// the member is missing.
bool ReadTextMember(const CJsonValue& object, std::u16string_view key, std::u16string* out);
bool ReadNumberMember(const CJsonValue& object, std::u16string_view key, LONG* out);

}  // namespace Logic
