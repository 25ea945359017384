#include "extension/routing_fakes.h"

#include <map>
#include <memory>
#include <utility>

#include "extension/dll_host_messages.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "platform/threads.h"

namespace extension_testing {
namespace {

// The parameter shape of each message type the manager sends: 'i' int, 'l' int64, 's' string.
const std::map<uint32_t, const char*> kShapes = {
    {Logic::kDllMsgLibraryMessage, "sissi"},
    {Logic::kDllMsgBrowserNotify, "ss"},
    {Logic::kDllMsgNamedEvent, "ss"},
    {Logic::kDllMsgUnloadLibrary, "s"},
    {Logic::kDllMsgForwardedCall, "slssll"},
    {Logic::kDllMsgRequestAnswer, "slis"},
    {0x07000007, ""},
};

}  // namespace

IpcParam Num(int64_t value) { return IpcParam{false, value, u""}; }
IpcParam Str(std::u16string value) { return IpcParam{true, 0, std::move(value)}; }

void Journal::Add(std::u16string receiver, std::u16string name, std::u16string payload,
                  std::u16string extension_id, LONG number1, LONG number2,
                  std::vector<IpcParam> params) {
  std::lock_guard<std::mutex> hold(mutex_);
  entries_.push_back({std::move(receiver), std::move(name), std::move(payload),
                      std::move(extension_id), number1, number2, std::move(params),
                      GetCurrentThreadId()});
  cv_.notify_all();
}

bool Journal::WaitFor(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  return cv_.wait_for(hold, limit, [&] { return entries_.size() >= count; });
}

std::vector<JournalEntry> Journal::Entries() {
  std::lock_guard<std::mutex> hold(mutex_);
  return entries_;
}

std::vector<JournalEntry> Journal::EntriesOf(const std::u16string& receiver) {
  std::vector<JournalEntry> found;
  for (JournalEntry& entry : Entries()) {
    if (entry.receiver == receiver) found.push_back(std::move(entry));
  }
  return found;
}

bool DecodeDllMessage(const IPC::CMessage& message, std::vector<IpcParam>* params) {
  params->clear();
  auto shape = kShapes.find(message.type());
  if (shape == kShapes.end()) return false;
  const char* it = nullptr;
  for (const char* kind = shape->second; *kind; ++kind) {
    IpcParam param;
    bool ok = false;
    if (*kind == 'i') {
      int32_t value = 0;
      ok = message.ReadInt(&it, &value);
      param.number = value;
    } else if (*kind == 'l') {
      ok = message.ReadInt64(&it, &param.number);
    } else {
      param.is_string = true;
      ok = message.ReadString(&it, &param.text);
    }
    if (!ok) return false;
    params->push_back(std::move(param));
  }
  // Nothing may be left over: an extra or missing value is a wrong shape.
  const char* end = message.data() + message.size();
  const char* first = message.data() + message.header_size();
  return (it ? it : first) == end;
}

bool RecordingDllSender::Send(IPC::CMessage* message) {
  std::unique_ptr<IPC::CMessage> owned(message);
  std::vector<IpcParam> params;
  const bool decoded = DecodeDllMessage(*owned, &params);
  journal_->Add(u"dll", halcy::StringPrintf(u"0x%08X", owned->type()),
                decoded ? u"" : u"<undecodable>", u"", 0, 0, std::move(params));
  return true;
}

}  // namespace extension_testing
