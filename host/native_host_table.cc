#include "host/native_host_table.h"

#include <cstdint>
#include <limits>
#include <memory>

#include "host/dll_messages.h"
#include "platform/strings.h"

namespace host {
namespace {

using IPC::ValueType;

int KindOf(ValueType type) {
  switch (type) {
    case ValueType::kInt64:
      return PLEXORE_INT64;
    case ValueType::kString:
      return PLEXORE_STRING;
    default:
      return PLEXORE_INT;  // the table's other numbers are all 32-bit
  }
}

const char* KindName(int kind) {
  switch (kind) {
    case PLEXORE_INT:
      return "int";
    case PLEXORE_INT64:
      return "int64";
    case PLEXORE_STRING:
      return "string";
    default:
      return "unknown kind";
  }
}

// The UTF-16 form of `text` when it is well-formed UTF-8.
bool DecodeUtf8(const char* text, std::u16string* out) {
  const std::string_view utf8(text);
  *out = halcy::Utf8ToUtf16(utf8);
  // Ill-formed input comes back as U+FFFD and no longer encodes to the same bytes.
  return halcy::Utf16ToUtf8(*out) == utf8;
}

// Appends parameter `i` to `m` as `type`; false with the reason when it does not fit.
bool WriteParam(const plexore_param& p, ValueType type, int i, IPC::CMessage* m,
                std::u16string* text, std::string* why) {
  const int want = KindOf(type);
  if (p.kind != want) {
    *why = "parameter " + std::to_string(i) + " is " + KindName(p.kind) + ", not " + KindName(want);
    return false;
  }
  if (type == ValueType::kString) {
    if (!p.text || !DecodeUtf8(p.text, text)) {
      *why = "parameter " + std::to_string(i) + " is not UTF-8 text";
      return false;
    }
    return m->WriteString(*text);
  }
  if (type == ValueType::kInt64) return m->WriteInt64(p.number);
  if (p.number < std::numeric_limits<int32_t>::min() ||
      p.number > std::numeric_limits<int32_t>::max()) {
    *why = "parameter " + std::to_string(i) + " does not fit 32 bits";
    return false;
  }
  return m->WriteInt(static_cast<int32_t>(p.number));
}

}  // namespace

CLibraryParams::CLibraryParams(const std::vector<IPC::MessageValue>& values) {
  texts_.reserve(values.size());  // params_ point into texts_: no reallocation after this
  params_.reserve(values.size());
  for (const IPC::MessageValue& value : values) {
    plexore_param p{KindOf(value.type), 0, nullptr};
    if (value.type == ValueType::kString) {
      texts_.push_back(halcy::Utf16ToUtf8(value.text));
      p.text = texts_.back().c_str();
    } else {
      p.number = value.number;
    }
    params_.push_back(p);
  }
}

IPC::CMessage* BuildLibraryMessage(unsigned type, const plexore_param* params, int count,
                                   std::u16string_view own_id, std::string* why) {
  const DllMessageInfo* info = FindDllMessage(type);
  if (!info || !info->from_library) {
    *why = "a library may not send this type";
    return nullptr;
  }
  if (count != static_cast<int>(info->shape.size()) || (count > 0 && !params)) {
    *why = "the type takes " + std::to_string(info->shape.size()) + " parameters, not " +
           std::to_string(count);
    return nullptr;
  }
  auto m = std::make_unique<IPC::CMessage>(false, type);
  std::u16string text;
  for (int i = 0; i < count; ++i) {
    why->clear();
    if (!WriteParam(params[i], info->shape[i], i, m.get(), &text, why)) {
      if (why->empty()) *why = "the message cannot grow";  // out of memory
      return nullptr;
    }
    if (i == info->extension_id_index && text != own_id) {
      *why = "parameter " + std::to_string(i) + " names another extension";
      return nullptr;
    }
  }
  return m.release();
}

}  // namespace host
