// The messages the extension manager sends to the extension-DLL process, built with the IPC
// message class (routing id 0, asynchronous). The parameter order of each is fixed by the
// process on the other end; "int" is 32-bit, "int64" 64-bit, "string" a counted UTF-16 string.
//
//   IPC::CMessage* m = NewLibraryMessage(id, request_context, command, arguments);
//   manager->SendToDllHost(m);  // the slot owns the message from here
//
// Each function returns a new message owned by the caller. Pure: safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/ipc_message.h"

namespace Logic {

// A message for an extension without a background page: string extension id, int request
// context, string command, string arguments, int (always 0).
inline constexpr uint32_t kDllMsgLibraryMessage = 0x07000011;
// A browser notification: string name, string payload.
inline constexpr uint32_t kDllMsgBrowserNotify = 0x07000012;
// A forwarded call (IExtensionMgr slot 23): string, int64, string, string, int64, int64.
inline constexpr uint32_t kDllMsgForwardedCall = 0x07000003;
// A named event: string name, string payload.
inline constexpr uint32_t kDllMsgNamedEvent = 0x07000008;
// The answer to a native library's pending request: string target, int64 handle, int value,
// string result.
inline constexpr uint32_t kDllMsgRequestAnswer = 0x0700000A;

// An extension's library is to be unloaded (disable, delete): string extension id.
inline constexpr uint32_t kDllMsgUnloadLibrary = 0x07000002;
// An extension's library is to be loaded: string extension id, string the library's full,
// resolved native path.
inline constexpr uint32_t kDllMsgLoadNativeLibrary = 0x07000001;
// The answer to a library's request 0x0700000E: string extension id, int64 the request's
// number, string the outcome ({"result":"ok"}, ...).
inline constexpr uint32_t kDllMsgRequestOutcome = 0x0700000F;

IPC::CMessage* NewUnloadLibraryMessage(const std::u16string& extension_id);
IPC::CMessage* NewLoadLibraryMessage(const std::u16string& extension_id,
                                     const std::u16string& library_path);
IPC::CMessage* NewRequestOutcomeMessage(const std::u16string& extension_id, int64_t request,
                                        const std::u16string& outcome);
IPC::CMessage* NewLibraryMessage(const std::u16string& extension_id, int32_t request_context,
                                 const std::u16string& command, const std::u16string& arguments);
IPC::CMessage* NewBrowserNotifyMessage(const std::u16string& name, const std::u16string& payload);
IPC::CMessage* NewForwardedCallMessage(const std::u16string& text, int64_t value,
                                       const std::u16string& text2, const std::u16string& text3,
                                       int64_t value2, int64_t value3);
IPC::CMessage* NewNamedEventMessage(const std::u16string& name, const std::u16string& payload);
IPC::CMessage* NewRequestAnswerMessage(const std::u16string& target, int64_t handle, int32_t value,
                                       const std::u16string& result);

}  // namespace Logic
