#include "extension/routing_fakes.h"

#include <map>

#include "extension/dll_host_messages.h"
#include "platform/strings.h"

namespace extension_testing {
namespace {

// The parameter shape of each message type the manager sends: 'i' int, 'l' int64, 's' string.
const std::map<uint32_t, const char*> kShapes = {
    {Logic::kDllMsgLibraryMessage, "sissi"}, {Logic::kDllMsgBrowserNotify, "ss"},
    {Logic::kDllMsgNamedEvent, "ss"},        {Logic::kDllMsgUnloadLibrary, "s"},
    {Logic::kDllMsgForwardedCall, "slssll"}, {Logic::kDllMsgRequestAnswer, "slis"},
    {Logic::kDllMsgPageInfo, "slliss"},      {Logic::kDllMsgMenuClick, "siii"},
    {0x07000007, ""}};

// The parameters of `message` by its type's shape; false when the type is unknown or the
// payload does not read in full or has bytes left over.
bool Decode(const IPC::CMessage& message, std::vector<IpcParam>* params) {
  auto shape = kShapes.find(message.type());
  if (shape == kShapes.end()) return false;
  const char* it = nullptr;
  for (const char* kind = shape->second; *kind; ++kind) {
    IpcParam param;
    param.is_string = *kind == 's';
    int32_t value = 0;
    const bool ok = *kind == 'i'   ? message.ReadInt(&it, &value)
                    : *kind == 'l' ? message.ReadInt64(&it, &param.number)
                                   : message.ReadString(&it, &param.text);
    if (!ok) return false;
    if (*kind == 'i') param.number = value;
    params->push_back(std::move(param));
  }
  return (it ? it : message.data() + message.header_size()) == message.data() + message.size();
}

}  // namespace

bool RecordingDllSender::Send(IPC::CMessage* message) {
  std::unique_ptr<IPC::CMessage> owned(message);
  std::vector<IpcParam> params;
  const bool decoded = Decode(*owned, &params);
  journal_->Add(u"dll", halcy::StringPrintf(u"0x%08X", owned->type()),
                decoded ? u"" : u"<undecodable>", u"", 0, 0, std::move(params));
  return true;
}

}  // namespace extension_testing
