#include "extension/extension_mgr_fakes.h"

#include <chrono>

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

}  // namespace extension_testing
