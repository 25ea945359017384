#include "json/json_value.h"

#include <utility>

namespace Logic {

CJsonValue::CJsonValue(std::u16string value)
    : type_(kJsonString), string_value_(std::move(value)) {}

CJsonValue::CJsonValue(const char16_t* value)
    : type_(kJsonString), string_value_(value ? value : u"") {}

CJsonValue::CJsonValue(bool value) : type_(kJsonBool), bool_value_(value) {}

CJsonValue::CJsonValue(double value) : type_(kJsonNumber), number_value_(value) {}

CJsonValue::CJsonValue(Array elements) : type_(kJsonArray), array_value_(std::move(elements)) {}

CJsonValue::CJsonValue(Object members) : type_(kJsonObject), object_value_(std::move(members)) {}

void* CJsonValue::operator new(size_t /*size*/) {
  // Only CJsonValue itself is ever allocated through here: nothing derives from it.
  return json_internal::BlockCache<sizeof(CJsonValue)>::Allocate();
}

void CJsonValue::operator delete(void* node) {
  json_internal::BlockCache<sizeof(CJsonValue)>::Free(node);
}

CJsonValue::~CJsonValue() {
  // The containers' own destructors do not promise an order (std::map frees right subtrees
  // first), so the children are released explicitly in the documented order.
  for (auto& element : array_value_) element.reset();
  for (auto& member : object_value_) member.second.reset();
}

}  // namespace Logic
