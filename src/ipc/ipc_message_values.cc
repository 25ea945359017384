#include "ipc/ipc_message_values.h"

#include <string>

namespace IPC {

bool ParseValueShape(std::string_view text, std::vector<ValueType>* shape) {
  static constexpr std::pair<std::string_view, ValueType> kWords[] = {
      {"int", ValueType::kInt},   {"uint", ValueType::kUInt},     {"int64", ValueType::kInt64},
      {"bool", ValueType::kBool}, {"string", ValueType::kString},
  };
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view word = text.substr(start, comma - start);
    bool known = false;
    for (const auto& [name, type] : kWords) {
      if (word == name) {
        shape->push_back(type);
        known = true;
      }
    }
    if (!known) return false;
    start = comma + 1;
  }
  return !shape->empty();
}

namespace {

bool ReadOne(const CMessage& m, const char** it, ValueType type, MessageValue* value) {
  value->type = type;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  switch (type) {
    case ValueType::kInt:
      if (!m.ReadInt(it, &i32)) return false;
      value->number = i32;
      return true;
    case ValueType::kUInt:
      if (!m.ReadUInt(it, &u32)) return false;
      value->number = u32;
      return true;
    case ValueType::kInt64:
      return m.ReadInt64(it, &value->number);
    case ValueType::kBool:
      if (!m.ReadInt(it, &i32)) return false;
      value->number = i32 ? 1 : 0;
      return true;
    case ValueType::kString:
      return m.ReadString(it, &value->text);
  }
  return false;
}

}  // namespace

bool ReadMessageValues(const CMessage& m, const std::vector<ValueType>& shape,
                       std::vector<MessageValue>* values, size_t* used) {
  const char* it = nullptr;
  bool ok = true;
  for (ValueType type : shape) {
    MessageValue value;
    if (!ReadOne(m, &it, type, &value)) {
      ok = false;
      break;
    }
    values->push_back(std::move(value));
  }
  if (used) *used = static_cast<size_t>((it ? it : m.data() + m.header_size()) - m.data());
  return ok;
}

}  // namespace IPC
