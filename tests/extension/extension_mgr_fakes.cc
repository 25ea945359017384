#include "extension/extension_mgr_fakes.h"

#include "platform/bstr.h"
#include "platform/threads.h"

namespace extension_testing {
HRESULT RecordingStatistics::RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                                          Logic::IPropertySet* properties) {
  RecordedAction action{name ? name : u"", value ? value : u"", kind, {}};
  LONG count = 0;
  if (properties) properties->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr n, v;
    properties->GetAt(i, n.Receive(), v.Receive());
    action.properties.emplace_back(n.View(), v.View());
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    actions_.push_back(std::move(action));
  }
  return real_->RecordAction(name, value, kind, properties);
}

std::vector<RecordedAction> RecordingStatistics::Actions(const std::u16string& category) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RecordedAction> out;
  for (const RecordedAction& a : actions_) {
    if (category.empty() || a.category == category) out.push_back(a);
  }
  return out;
}

HRESULT RecordingListener::Record(std::u16string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({std::move(text), GetCurrentThreadId()});
  }
  cv_.notify_all();
  return S_OK;
}

bool RecordingListener::WaitForEvents(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return events_.size() >= count; });
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
