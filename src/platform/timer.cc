#include "platform/timer.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/object_factory.h"
#include "platform/threads.h"

namespace Util::Common::Timer {
namespace {

using Key = std::pair<ITimerCallback*, UINT>;

// The waiting timers, by callback and id, with the generation of the latest Set. A closure
// whose generation is no longer in the table was erased or replaced and does nothing.
struct TimerTable {
  std::mutex mutex;
  std::map<Key, uint64_t> waiting;  // Guarded by mutex
  uint64_t next_generation = 0;     // Guarded by mutex
};

TimerTable& Table() {
  static TimerTable* table = new TimerTable;  // never destroyed: loops may outlive statics
  return *table;
}

// True (and the entry gone) when `generation` is still the waiting one for `key`.
bool Take(const Key& key, uint64_t generation) {
  TimerTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.waiting.find(key);
  if (it == table.waiting.end() || it->second != generation) return false;
  table.waiting.erase(it);
  return true;
}

// Held by the loop's task: fires once, or forgets the timer when the task goes unrun.
class PendingTimer {
 public:
  PendingTimer(ComPtr<ITimerCallback> callback, UINT id, uint64_t generation)
      : callback_(std::move(callback)), id_(id), generation_(generation) {}
  PendingTimer(PendingTimer&&) = default;
  ~PendingTimer() {
    if (callback_) Take({callback_.Get(), id_}, generation_);
  }
  void Fire() {
    ComPtr<ITimerCallback> callback = std::move(callback_);
    if (callback && Take({callback.Get(), id_}, generation_)) callback->OnTimer(id_);
  }

 private:
  ComPtr<ITimerCallback> callback_;
  UINT id_;
  uint64_t generation_;
};

}  // namespace

BOOL SetOneTimer(UINT elapse_ms, ITimerCallback* callback, UINT timer_id) {
  if (!callback) return FALSE;
  ComPtr<halcy::IDelayedCallRunner> runner;
  if (FAILED(Util::Com::GetService(halcy::IDelayedCallRunner::kIID,
                                   runner.ReleaseAndGetVoidAddress()))) {
    return FALSE;
  }
  uint64_t generation;
  {
    TimerTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    generation = ++table.next_generation;
    table.waiting[{callback, timer_id}] = generation;
  }
  auto pending =
      std::make_shared<PendingTimer>(ComPtr<ITimerCallback>(callback), timer_id, generation);
  HRESULT hr = runner->RunLater(GetCurrentThreadId(), elapse_ms, [pending] { pending->Fire(); });
  if (FAILED(hr)) {
    Take({callback, timer_id}, generation);
    return FALSE;
  }
  return TRUE;
}

BOOL EraseTimerCallback(ITimerCallback* callback, UINT timer_id) {
  TimerTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.waiting.erase({callback, timer_id}) ? TRUE : FALSE;
}

}  // namespace Util::Common::Timer
