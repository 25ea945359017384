// A listener of the extension manager that records every event with the thread it arrived on.
// Thread-safe: the manager calls it from its threads while the test reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "extension/extension_mgr_listener.h"
#include "extension/extension_test_util.h"
#include "platform/com_object.h"

namespace extension_testing {

// One event a listener received: "FirstReady", "List:<ids>" or "State:<id>=<0|1>", and the
// thread it ran on.
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
  HRESULT OnDllProcessState(BOOL) override { return E_NOTIMPL; }
  HRESULT OnExtensionStateChanged(BSTR id, LONG state) override {
    return Record(u"State:" + Text(id) + (state ? u"=1" : u"=0"));
  }

  // Waits until `count` events arrived; false after ten seconds.
  bool WaitForEvents(size_t count);
  std::vector<ListenerEvent> Events();
  // The texts of the events starting with `prefix`.
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
