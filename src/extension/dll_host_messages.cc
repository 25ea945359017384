#include "extension/dll_host_messages.h"

namespace Logic {

// A failed write leaves a message whose payload the child cannot read in full; it ignores
// such a message, so the writes' results are not checked one by one.

IPC::CMessage* NewLibraryMessage(const std::u16string& extension_id, int32_t request_context,
                                 const std::u16string& command, const std::u16string& arguments) {
  auto* message = new IPC::CMessage(false, kDllMsgLibraryMessage);
  message->WriteString(extension_id);
  message->WriteInt(request_context);
  message->WriteString(command);
  message->WriteString(arguments);
  message->WriteInt(0);
  return message;
}

IPC::CMessage* NewMenuClickMessage(const std::u16string& extension_id, int32_t point,
                                   int32_t frame_id, int32_t menu_id) {
  auto* message = new IPC::CMessage(false, kDllMsgMenuClick);
  message->WriteString(extension_id);
  message->WriteInt(point);
  message->WriteInt(frame_id);
  message->WriteInt(menu_id);
  return message;
}

IPC::CMessage* NewUnloadLibraryMessage(const std::u16string& extension_id) {
  auto* message = new IPC::CMessage(false, kDllMsgUnloadLibrary);
  message->WriteString(extension_id);
  return message;
}

IPC::CMessage* NewLoadLibraryMessage(const std::u16string& extension_id,
                                     const std::u16string& library_path) {
  auto* message = new IPC::CMessage(false, kDllMsgLoadLibrary);
  message->WriteString(extension_id);
  message->WriteString(library_path);
  return message;
}

IPC::CMessage* NewRequestOutcomeMessage(const std::u16string& extension_id, int64_t request,
                                        const std::u16string& outcome) {
  auto* message = new IPC::CMessage(false, kDllMsgRequestOutcome);
  message->WriteString(extension_id);
  message->WriteInt64(request);
  message->WriteString(outcome);
  return message;
}

IPC::CMessage* NewBrowserNotifyMessage(const std::u16string& name, const std::u16string& payload) {
  auto* message = new IPC::CMessage(false, kDllMsgBrowserNotify);
  message->WriteString(name);
  message->WriteString(payload);
  return message;
}

IPC::CMessage* NewForwardedCallMessage(const std::u16string& text, int64_t value,
                                       const std::u16string& text2, const std::u16string& text3,
                                       int64_t value2, int64_t value3) {
  auto* message = new IPC::CMessage(false, kDllMsgForwardedCall);
  message->WriteString(text);
  message->WriteInt64(value);
  message->WriteString(text2);
  message->WriteString(text3);
  message->WriteInt64(value2);
  message->WriteInt64(value3);
  return message;
}

IPC::CMessage* NewNamedEventMessage(const std::u16string& name, const std::u16string& payload) {
  auto* message = new IPC::CMessage(false, kDllMsgNamedEvent);
  message->WriteString(name);
  message->WriteString(payload);
  return message;
}

IPC::CMessage* NewRequestAnswerMessage(const std::u16string& target, int64_t handle, int32_t value,
                                       const std::u16string& result) {
  auto* message = new IPC::CMessage(false, kDllMsgRequestAnswer);
  message->WriteString(target);
  message->WriteInt64(handle);
  message->WriteInt(value);
  message->WriteString(result);
  return message;
}

IPC::CMessage* NewPageInfoMessage(const std::u16string& extension_id, int64_t frame_id,
                                  int32_t flag, const std::u16string& request,
                                  const std::u16string& information) {
  auto* message = new IPC::CMessage(false, kDllMsgPageInfo);
  message->WriteString(extension_id);
  message->WriteInt64(frame_id);
  message->WriteInt64(0);
  message->WriteInt(flag);
  message->WriteString(request);
  message->WriteString(information);
  return message;
}

}  // namespace Logic
