// Reading a message's payload as a list of typed values when the reader knows the shape (the
// payload itself carries no types): used by tools that print messages and by the host's
// scenario player.
//
//   std::vector<IPC::MessageValue> values;
//   size_t used = 0;
//   if (!IPC::ReadMessageValues(m, {IPC::ValueType::kString, IPC::ValueType::kInt}, &values,
//                               &used)) ...  // values holds what was read before the misfit
//
// Pure functions; safe from any thread on a message no one changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/ipc_message.h"

namespace IPC {

enum class ValueType { kInt, kUInt, kInt64, kBool, kString };

struct MessageValue {
  ValueType type = ValueType::kInt;
  int64_t number = 0;   // kInt, kUInt, kInt64; kBool as 0 or 1
  std::u16string text;  // kString
};

// Parses "int,uint,int64,bool,string" (comma-separated); false for an unknown word or nothing.
bool ParseValueShape(std::string_view text, std::vector<ValueType>* shape);

// Appends to `values` the values of `shape` read in order from `m`. False at the first value
// that does not fit the payload. `used` (may be null) receives the bytes of `m` consumed,
// header included, so that a caller can tell whether bytes remain after the shape.
bool ReadMessageValues(const CMessage& m, const std::vector<ValueType>& shape,
                       std::vector<MessageValue>* values, size_t* used);

}  // namespace IPC
