// The messages between the extension manager's DLL host and the extension-library process:
// their parameter shapes in payload order ("int" 32-bit, "int64" 64-bit, "string" counted
// UTF-16), which direction each travels, and the one-line JSON form in which scenario output
// prints a message for the DLL process:
//   {"to":"dll","type":"0x07000011","params":["weatherdesk",7,"extension.response...","{}",0]}
//
//   const DllMessageInfo* info = FindDllMessage(m.type());
//   if (info && info->to_child) ...
//   output->WriteLine(DllMessageLine(m));
//
// Pure functions over constant tables; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/ipc_message.h"
#include "ipc/ipc_message_values.h"
#include "process/dll_message_types.h"

namespace host {

// Message types of the extension-library process (process/dll_message_types.h).
using Logic::kDllMsgBrowserNotify;
using Logic::kDllMsgForwardedCall;
using Logic::kDllMsgFrameCreated;
using Logic::kDllMsgLibraryCommand;
using Logic::kDllMsgLibraryLoadState;
using Logic::kDllMsgLibraryMessage;
using Logic::kDllMsgLoadLibrary;
using Logic::kDllMsgMenuClick;
using Logic::kDllMsgNamedEvent;
using Logic::kDllMsgPageInfo;
using Logic::kDllMsgRequestAnswer;
using Logic::kDllMsgRequestOutcome;
using Logic::kDllMsgUnloadLibrary;

// How a message to the process finds its libraries.
enum class DllRecipients {
  kNone,          // handled by the process itself (load, unload) or sent by it
  kOneExtension,  // the library of the extension named by the first string
  kAll,           // every loaded library
  kOneOrAll,      // the library named by the first string when loaded, else every library
};

struct DllMessageInfo {
  uint32_t type;
  std::vector<IPC::ValueType> shape;
  bool to_child;      // the manager sends it to the process
  bool from_library;  // a library may send it to the manager (IPC 0x07000014 it may not: the
                      // process itself reports load results)
  DllRecipients recipients;
  // For messages from the process: the index in `shape` of the sending extension's id, or -1.
  int extension_id_index;
};

// The entry for `type`, or null for a type outside the table.
const DllMessageInfo* FindDllMessage(uint32_t type);

// The shape of `type`; empty for a type without parameters or outside the table.
std::vector<IPC::ValueType> DllMessageShape(uint32_t type);

// Reads `m`'s payload by the shape of its type. True only when every value was read and no
// byte is left over; `values` holds what was read either way.
bool ReadDllMessage(const IPC::CMessage& m, std::vector<IPC::MessageValue>* values);

// `m` as the scenario line {"to":"dll","type":"0x%08X","params":[...]}, strings as JSON
// strings and numbers in decimal. A payload that does not fit its shape prints the values that
// were read; a type outside the table prints no parameters.
std::string DllMessageLine(const IPC::CMessage& m);

}  // namespace host
