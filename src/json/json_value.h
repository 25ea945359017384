// CJsonValue: one node of the JSON value tree that carries manifests, the extension database,
// server replies and message payloads.
//
// A node has a type tag (`JsonType`) and five payload fields of which only the one matching the
// tag is meaningful. Containers own their children: destroying a node destroys its whole
// subtree, an array's elements first to last and an object's members in key order. Object keys
// are unique and ordered by plain UTF-16 code-unit comparison (so "Z" sorts before "a").
//
// Thread safety: none of its own. A tree may be read from several threads at once; any change
// needs exclusive access to the whole tree.
//
// Example:
//   CJsonValue::Object members;
//   members[u"name"] = std::make_unique<CJsonValue>(u"demo");
//   members[u"size"] = std::make_unique<CJsonValue>(3.0);
//   CJsonValue object(std::move(members));
//   object.GetObject()[u"tags"] = std::make_unique<CJsonValue>(CJsonValue::Array{});
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "json/json_node_cache.h"

namespace Logic {

// The type tag. The numbering is part of stored data and of the interfaces: never renumber.
enum JsonType : uint32_t {
  kJsonNull = 0,
  kJsonString = 1,
  kJsonBool = 2,
  kJsonNumber = 3,
  kJsonArray = 4,
  kJsonObject = 5,
};

class CJsonValue {
 public:
  using Array = std::vector<std::unique_ptr<CJsonValue>>;
  // std::less<> allows lookups by u16string_view or a literal without building a key string.
  using Object = std::map<std::u16string, std::unique_ptr<CJsonValue>, std::less<>,
                          json_internal::CachedNodeAllocator<
                              std::pair<const std::u16string, std::unique_ptr<CJsonValue>>>>;

  // A null value.
  CJsonValue() = default;
  // A string value.
  explicit CJsonValue(std::u16string value);
  // A string value; without this a literal would silently choose the bool constructor.
  explicit CJsonValue(const char16_t* value);
  // A bool value.
  explicit CJsonValue(bool value);
  // A number value. There is no integer type: integers are held as doubles.
  explicit CJsonValue(double value);
  explicit CJsonValue(int value) : CJsonValue(static_cast<double>(value)) {}
  // An array value; takes ownership of the elements.
  explicit CJsonValue(Array elements);
  // An object value; takes ownership of the member values.
  explicit CJsonValue(Object members);

  // Destroys the subtree: array elements first to last, object members in key order.
  ~CJsonValue();

  // Nodes come from a per-thread cache of freed nodes (see json_node_cache.h).
  static void* operator new(size_t size);
  static void operator delete(void* node);
  // Asks for the whole of `node` (null is fine) ahead of destroying or reading it.
  static void PrefetchNode(const CJsonValue* node);

  // Values are never shared between trees, and a copy would be a deep copy: forbid both.
  CJsonValue(const CJsonValue&) = delete;
  CJsonValue& operator=(const CJsonValue&) = delete;

  JsonType type() const { return type_; }
  bool IsString() const { return type_ == kJsonString; }
  bool IsNumber() const { return type_ == kJsonNumber; }
  bool IsArray() const { return type_ == kJsonArray; }
  bool IsObject() const { return type_ == kJsonObject; }

  // Accessors return the field whatever the tag; a field that does not match the tag is empty
  // (false, 0).
  const std::u16string& GetString() const { return string_value_; }
  bool GetBool() const { return bool_value_; }
  double GetNumber() const { return number_value_; }
  Array& GetArray() { return array_value_; }
  const Array& GetArray() const { return array_value_; }
  Object& GetObject() { return object_value_; }
  const Object& GetObject() const { return object_value_; }

 private:
  // Field order follows the stored layout of the tree node: tag, then the five payloads.
  JsonType type_ = kJsonNull;
  std::u16string string_value_;
  bool bool_value_ = false;
  double number_value_ = 0.0;
  Array array_value_;
  Object object_value_;
};

}  // namespace Logic
