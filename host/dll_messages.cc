#include "host/dll_messages.h"

#include <cinttypes>
#include <cstdio>

#include "host/scenario_receivers.h"

namespace host {
namespace {

using IPC::ValueType;
constexpr ValueType S = ValueType::kString, I = ValueType::kInt, L = ValueType::kInt64;
using R = DllRecipients;

// Both directions in one table; 0x07000008 (named event) travels both ways with one shape.
const DllMessageInfo kMessages[] = {
    // To the process.
    {kDllMsgLoadLibrary, {S, S}, true, false, R::kNone, -1},
    {kDllMsgUnloadLibrary, {S}, true, false, R::kNone, -1},
    {kDllMsgForwardedCall, {S, L, S, S, L, L}, true, false, R::kOneOrAll, -1},
    {kDllMsgMenuClick, {S, I, I, I}, true, false, R::kOneExtension, -1},
    {kDllMsgFrameCreated, {}, true, false, R::kAll, -1},
    {kDllMsgNamedEvent, {S, S}, true, true, R::kAll, -1},
    {kDllMsgRequestAnswer, {S, L, I, S}, true, false, R::kOneExtension, -1},
    {kDllMsgPageInfo, {S, L, L, I, S, S}, true, false, R::kOneExtension, -1},
    {kDllMsgRequestOutcome, {S, L, S}, true, false, R::kOneExtension, -1},
    {kDllMsgLibraryMessage, {S, I, S, S, I}, true, false, R::kOneExtension, -1},
    {kDllMsgBrowserNotify, {S, S}, true, false, R::kAll, -1},
    // From the process.
    {Logic::kDllMsgLibraryResponseToFE, {S, L, S, S, L, L}, false, true, R::kNone, 0},
    {Logic::kDllMsgPostCommandToUI, {S, L, L, S}, false, true, R::kNone, 0},
    {Logic::kDllMsgSnapShotWebPage, {L, S, I, S}, false, true, R::kNone, 1},
    {Logic::kDllMsgOpenWebPage, {S, L, S, I, I, S, I}, false, true, R::kNone, 0},
    {Logic::kDllMsgGetWebPageInfo, {S, L, L, I, S}, false, true, R::kNone, 0},
    {Logic::kDllMsgLibraryRequest, {S, L, S, S}, false, true, R::kNone, 0},
    {kDllMsgLibraryCommand, {S, S, S, I}, false, true, R::kNone, 0},
    {kDllMsgLibraryLoadState, {S, I}, false, false, R::kNone, 0},
};

}  // namespace

const DllMessageInfo* FindDllMessage(uint32_t type) {
  for (const DllMessageInfo& info : kMessages) {
    if (info.type == type) return &info;
  }
  return nullptr;
}

std::vector<IPC::ValueType> DllMessageShape(uint32_t type) {
  const DllMessageInfo* info = FindDllMessage(type);
  return info ? info->shape : std::vector<IPC::ValueType>();
}

bool ReadDllMessage(const IPC::CMessage& m, std::vector<IPC::MessageValue>* values) {
  size_t used = 0;
  if (!IPC::ReadMessageValues(m, DllMessageShape(m.type()), values, &used)) return false;
  return used == m.size();  // trailing bytes mean the sender's shape is not ours
}

std::string DllMessageLine(const IPC::CMessage& m) {
  std::vector<IPC::MessageValue> values;
  // A payload that does not fit its shape prints the values that were read.
  IPC::ReadMessageValues(m, DllMessageShape(m.type()), &values, nullptr);
  char type[16];
  std::snprintf(type, sizeof(type), "0x%08" PRIX32, m.type());
  std::string line = std::string("{\"to\":\"dll\",\"type\":\"") + type + "\",\"params\":[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) line += ',';
    line += values[i].type == ValueType::kString ? JsonQuoted(values[i].text)
                                                 : std::to_string(values[i].number);
  }
  return line + "]}";
}

}  // namespace host
