// Recorders for what the extension manager hands out: a listener that records every event
// with the thread it arrived on, and a wrapper of the host's statistics service that records
// each action (with its properties) before passing it on.
//
// Thread-safe: the manager calls them from its threads while the test reads their records.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "extension/extension_mgr_listener.h"
#include "extension/extension_test_util.h"
#include "module/browser_info_services.h"
#include "platform/com_object.h"

namespace extension_testing {

using Properties = std::vector<std::pair<std::u16string, std::u16string>>;

struct RecordedAction {
  std::u16string category;
  std::u16string key;
  LONG kind;
  Properties properties;
};

class RecordingStatistics : public halcy::ComObjectRoot, public Logic::IStatisticsService {
 public:
  HALCY_BEGIN_INTERFACES(RecordingStatistics)
  HALCY_INTERFACE(RecordingStatistics, Logic::IStatisticsService)
  HALCY_END_INTERFACES()

  explicit RecordingStatistics(Logic::IStatisticsService* real) : real_(real) {}

  HRESULT RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                       Logic::IPropertySet* properties) override;
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT CountUserAction(LPCWSTR category, LPCWSTR action, LPCWSTR counter,
                          LONG increment) override {
    return real_->CountUserAction(category, action, counter, increment);
  }

  // The recorded actions of `category` (all when empty).
  std::vector<RecordedAction> Actions(const std::u16string& category = u"");

 private:
  const ComPtr<Logic::IStatisticsService> real_;
  std::mutex mutex_;
  std::vector<RecordedAction> actions_;  // Guarded by mutex_
};

// One event a listener received: "FirstReady", "List:<ids>", "Dll:<0|1>" or "State:<id>=<n>",
// and the thread it ran on.
struct ListenerEvent {
  std::u16string text;
  DWORD thread_id;
};

class RecordingListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(RecordingListener)
  HALCY_INTERFACE(RecordingListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override {
    Record(u"FirstReady");
    return result_;
  }
  HRESULT OnLocalExtensionList(BSTR ids) override { return Record(u"List:" + Text(ids)); }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL running) override { return Record(running ? u"Dll:1" : u"Dll:0"); }
  HRESULT OnExtensionStateChanged(BSTR id, LONG state) override {
    return Record(u"State:" + Text(id) + (state ? u"=1" : u"=0"));
  }

  // Waits until `count` events arrived; false after `limit`.
  bool WaitForEvents(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<ListenerEvent> Events();
  // The texts of the events, optionally only those starting with `prefix`.
  std::vector<std::u16string> Texts(const std::u16string& prefix = u"");
  // What OnFirstReady returns.
  void set_result(HRESULT result) { result_ = result; }

 private:
  HRESULT Record(std::u16string text);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<ListenerEvent> events_;  // Guarded by mutex_
  HRESULT result_ = S_OK;              // Set before use
};

}  // namespace extension_testing
