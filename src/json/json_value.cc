#include "json/json_value.h"

#include <iterator>
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

void CJsonValue::PrefetchNode(const CJsonValue* node) {
  // A node spans more than one cache line; its destructor reads both ends.
  const char* bytes = reinterpret_cast<const char*>(node);
  __builtin_prefetch(bytes);
  __builtin_prefetch(bytes + sizeof(CJsonValue) - 1);
}

CJsonValue::~CJsonValue() {
  // The containers' own destructors do not promise an order (std::map frees right subtrees
  // first), so the children are released explicitly in the documented order.
  //
  // A large array's element storage is freed before its elements, by way of the thread's node
  // stack (see json_node_cache.h); storage below about 1 KiB stays in the allocator's
  // per-thread caches and is freed in place.
  constexpr size_t kLargeArray = 128;
  json_internal::NodeStack* stack;
  if (array_value_.size() >= kLargeArray && (stack = json_internal::ThisThreadNodeStack()) &&
      stack->Reserve(array_value_.size())) {
    const size_t base = stack->size;
    for (auto& element : array_value_) stack->nodes[stack->size++] = element.release();
    Array().swap(array_value_);
    stack->DestroyFrom(base);
  } else {
    for (auto& element : array_value_) element.reset();
  }
  // Destroying is bound by memory latency: fetch the next member while releasing this one.
  for (auto it = object_value_.begin(); it != object_value_.end();) {
    const auto next = std::next(it);
    if (next != object_value_.end()) PrefetchNode(next->second.get());
    it->second.reset();
    it = next;
  }
}

}  // namespace Logic
