#include "extension/extension_mgr_fakes.h"

#include "platform/threads.h"

namespace extension_testing {

HRESULT RecordingListener::Record(std::u16string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back({std::move(text), GetCurrentThreadId()});
  cv_.notify_all();
  return S_OK;
}

bool RecordingListener::WaitForEvents(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
}

std::vector<ListenerEvent> RecordingListener::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::u16string> RecordingListener::Texts(const std::u16string& prefix) {
  std::vector<std::u16string> texts;
  for (const ListenerEvent& e : Events()) {
    if (e.text.starts_with(prefix)) texts.push_back(e.text);
  }
  return texts;
}

}  // namespace extension_testing
