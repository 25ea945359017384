#include "command/pair_object.h"

#include <string>

namespace Logic {

void CPairObject::Add(std::u16string_view key, std::u16string_view value) {
  AddItem(key, value, true);
}

void CPairObject::Add(std::u16string_view key, LONG value) { Add(key, DecimalText(value)); }

void CPairObject::AddJson(std::u16string_view key, std::u16string_view json) {
  AddItem(key, json, false);
}

void CPairObject::AddItem(std::u16string_view key, std::u16string_view value, bool quoted) {
  std::u16string item;
  item.reserve(key.size() + value.size() + 6);
  item += u'"';
  item += key;
  item += quoted ? u"\":\"" : u"\":";
  item += value;
  item += quoted ? u"\"," : u",";
  items_.push_back(std::move(item));
}

std::u16string CPairObject::ToString() const {
  std::u16string text = u"{\r\n";
  for (const std::u16string& item : items_) text += item;
  // Every item ends in its comma; the last one's is dropped before the brace.
  if (!items_.empty()) text.pop_back();
  text += u'}';
  return text;
}

std::u16string DecimalText(LONG value) {
  // Widened first, so that the most negative value is negated without overflow.
  long long magnitude = value;
  bool negative = magnitude < 0;
  if (negative) magnitude = -magnitude;
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) digits.insert(digits.begin(), u'-');
  return digits;
}

}  // namespace Logic
