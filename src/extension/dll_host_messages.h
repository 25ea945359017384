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
#include "process/dll_message_types.h"

namespace Logic {

// What goes to the child (type constants in process/dll_message_types.h):
//   0x07000011  string extension id, int request context, string command, string arguments,
//               int (always 0): a message for an extension without a background page
//   0x07000012  string name, string payload: a browser notification
//   0x07000003  string, int64, string, string, int64, int64: a forwarded call (slot 23)
//   0x07000008  string name, string payload: a named event
//   0x0700000A  string target, int64 handle, int value, string result: the answer to a
//               native library's pending request
//   0x07000006  string extension id, int point, int frame id, int menu id: a click on an
//               entry of the menu of a library extension's button; the point is its place
//               in kUIExtPoints (ui_ext_points.h: 0 toolbar ... 4 side bar), -1 for another
//   0x07000002  string extension id: unload the extension's library (disable, delete)
//   0x07000001  string extension id, string the library's full, resolved native path
//   0x0700000F  string extension id, int64 the request's number, string the outcome
//               ({"result":"ok"}, ...): the answer to a library's request 0x0700000E
//   0x0700000D  string extension id, int64 frame id, int64 (always 0), int flag, string
//               request, string the page's information: the answer to 0x0700000C

IPC::CMessage* NewMenuClickMessage(const std::u16string& extension_id, int32_t point,
                                   int32_t frame_id, int32_t menu_id);
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
IPC::CMessage* NewPageInfoMessage(const std::u16string& extension_id, int64_t frame_id,
                                  int32_t flag, const std::u16string& request,
                                  const std::u16string& information);
IPC::CMessage* NewRequestAnswerMessage(const std::u16string& target, int64_t handle, int32_t value,
                                       const std::u16string& result);

}  // namespace Logic
