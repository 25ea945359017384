#include "extension/extension_mgr_fakes.h"

#include <chrono>

#include "platform/strings.h"
#include "platform/threads.h"

namespace extension_testing {

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

bool Journal::WaitFor(size_t count) {
  std::unique_lock<std::mutex> hold(mutex_);
  return cv_.wait_for(hold, std::chrono::seconds(10), [&] { return entries_.size() >= count; });
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

std::vector<std::u16string> Journal::Names(const std::u16string& prefix) {
  std::vector<std::u16string> names;
  for (const JournalEntry& entry : Entries()) {
    if (entry.name.starts_with(prefix)) names.push_back(entry.name);
  }
  return names;
}

std::vector<std::u16string> Journal::Texts(const std::u16string& receiver) {
  auto number = [](int64_t n) { return halcy::Utf8ToUtf16(std::to_string(n)); };
  std::vector<std::u16string> texts;
  for (const JournalEntry& e : EntriesOf(receiver)) {
    std::u16string text = e.payload.empty() ? e.name : e.name + u" " + e.payload;
    if (!e.extension_id.empty()) text += u" " + e.extension_id;
    if (e.number1 || e.number2) text += u" " + number(e.number1) + u"," + number(e.number2);
    for (const IpcParam& p : e.params)
      text += p.is_string ? u" s:" + p.text : u" n:" + number(p.number);
    texts.push_back(text);
  }
  return texts;
}

}  // namespace extension_testing
