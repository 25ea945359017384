#include "platform/connection_point.h"

namespace halcy {

HRESULT ConnectionSinkList::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie) *cookie = 0;
  if (!sink || !cookie) return E_POINTER;
  void* event_sink = nullptr;
  if (FAILED(sink->QueryInterface(event_iid_, &event_sink)) || !event_sink) {
    return CONNECT_E_CANNOTCONNECT;
  }
  // The event interface derives from IUnknown alone, so its pointer is also an IUnknown
  // pointer; Fire casts it back to the event interface.
  ComPtr<IUnknown> held = AdoptRef(static_cast<IUnknown*>(event_sink));
  std::lock_guard<std::mutex> lock(mutex_);
  *cookie = next_cookie_++;
  sinks_.emplace_back(*cookie, std::move(held));
  return S_OK;
}

HRESULT ConnectionSinkList::Unadvise(DWORD cookie) {
  ComPtr<IUnknown> removed;  // released after the lock, in case the sink's release calls back
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->first == cookie) {
        removed = std::move(it->second);
        sinks_.erase(it);
        break;
      }
    }
  }
  return removed ? S_OK : CONNECT_E_NOCONNECTION;
}

void ConnectionSinkList::Clear() {
  std::vector<std::pair<DWORD, ComPtr<IUnknown>>> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removed.swap(sinks_);
  }
}

size_t ConnectionSinkList::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sinks_.size();
}

std::vector<ComPtr<IUnknown>> ConnectionSinkList::Snapshot() const {
  std::vector<ComPtr<IUnknown>> copy;
  std::lock_guard<std::mutex> lock(mutex_);
  copy.reserve(sinks_.size());
  for (const auto& entry : sinks_) copy.push_back(entry.second);
  return copy;
}

}  // namespace halcy
