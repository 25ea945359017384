#include "command/command_args.h"

#include <cmath>
#include <limits>

#include "command/pair_object.h"
#include "json/json_reader.h"
#include "json/json_writer.h"

namespace Logic {

std::unique_ptr<CJsonValue> ParseCommandArguments(const char16_t* text) {
  std::unique_ptr<CJsonValue> root = ParseJson(text);
  if (!root || !root->IsObject()) return nullptr;
  return root;
}

LONG DecimalToLong(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  constexpr long long kLimit = 1LL << 31;
  long long value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > kLimit) value = kLimit;  // keeps the sum small; clamped below
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<LONG>::max()) return std::numeric_limits<LONG>::max();
  if (value < std::numeric_limits<LONG>::min()) return std::numeric_limits<LONG>::min();
  return static_cast<LONG>(value);
}

const CJsonValue* FindMember(const CJsonValue& object, std::u16string_view key) {
  if (!object.IsObject()) return nullptr;
  auto it = object.GetObject().find(key);
  return it == object.GetObject().end() ? nullptr : it->second.get();
}

std::u16string MemberText(const CJsonValue& value) {
  if (value.IsString()) return value.GetString();
  if (value.IsNumber()) {
    double number = value.GetNumber();
    // Integral numbers in the 32-bit range are written as the digits a sender meant, not in
    // the writer's six-digit general notation.
    if (std::isfinite(number) && number == std::trunc(number) &&
        std::fabs(number) <= static_cast<double>(std::numeric_limits<LONG>::max())) {
      return DecimalText(static_cast<LONG>(number));
    }
  }
  return ToJsonString(value);
}

bool ReadTextMember(const CJsonValue& object, std::u16string_view key, std::u16string* out) {
  const CJsonValue* member = FindMember(object, key);
  if (!member) return false;
  *out = MemberText(*member);
  return true;
}

bool ReadNumberMember(const CJsonValue& object, std::u16string_view key, LONG* out) {
  const CJsonValue* member = FindMember(object, key);
  if (!member) return false;
  *out = DecimalToLong(MemberText(*member));
  return true;
}

}  // namespace Logic
