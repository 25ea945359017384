// The throwaway browser environment that the extension-manager benchmarks run in: a temporary
// folder that is both the data root ($HALCY_APPDATA) and the browser directory
// ($HALCY_BROWSER_DIR), and the module's agent class creatable through the object factory (the
// store makes agents that way).
//
// Call from the benchmark's main thread before the browser's services start (DrainManagerThread
// once they run, from any other thread). ReadyListener is free-threaded.
#pragma once

#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_listener.h"
#include "host/extension_store.h"
#include "module/module.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/task.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace bench_support {

// Returns the new folder; aborts when it cannot be made.
inline std::string PrepareThrowawayBrowser(const char* prefix) {
  std::string root =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (!mkdtemp(root.data())) abort();
  setenv("HALCY_APPDATA", root.c_str(), 1);
  setenv("HALCY_BROWSER_DIR", root.c_str(), 1);
  Logic::ResetPathCachesForTesting();
  halcy::CreatableClass agents;
  agents.create = [](REFIID iid, void** out) {
    return halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, iid, out);
  };
  halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, std::move(agents));
  return root;
}

// Returns once every task queued so far on the browser thread of kind `thread` has run.
inline void DrainThread(int thread) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  Thread::PostTask(thread, Thread::NewFuncTask([&] {
                     std::lock_guard<std::mutex> lock(mutex);
                     done = true;
                     cv.notify_all();
                   }));
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return done; });
}

inline void DrainManagerThread() { DrainThread(Thread::kThreadExtensionManager); }

inline void RemoveThrowawayBrowser(const std::string& root) {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

// Writes the store file "extdb_v2.json" into `dir` with `count` extensions "ext0000", ...,
// each with a directory of its own below `dir` ("hcextdbpath/<id>") and in state 1 unless
// `fill` (given the index and the record) says otherwise; `fill` also sets the manifest.
inline void WriteExtensionStore(const std::string& dir, int count,
                                const std::function<void(int, host::ExtensionRecord*)>& fill) {
  host::ExtensionRecords records;
  for (int i = 0; i < count; ++i) {
    const std::u16string id = halcy::StringPrintf(u"ext%04d", i);
    std::filesystem::create_directories(dir + "/" + halcy::Utf16ToUtf8(id));
    host::ExtensionRecord& r = records[id];
    r.id = id;
    r.state = 1;
    r.directory = u"hcextdbpath/" + id;
    fill(i, &r);
  }
  std::ofstream(dir + "/extdb_v2.json") << host::SerializeExtensionRecords(records);
}

// A new manager (CCoExtensionMgr, index 5 of the module's class table) with `listener` added
// for the thread `thread`.
inline ComPtr<Logic::IExtensionMgr> NewManager(Logic::IExtensionMgrListener* listener,
                                               DWORD thread) {
  ComPtr<Logic::IExtensionMgr> mgr;
  Logic::CreateClassInstance(5, nullptr, Logic::IExtensionMgr::kIID,
                             mgr.ReleaseAndGetVoidAddress());
  if (mgr) mgr->AddListener(1, thread, listener, FALSE);
  return mgr;
}

// Counts OnFirstReady and keeps the length of the last installed list.
class ReadyListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(ReadyListener)
  HALCY_INTERFACE(ReadyListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ready_;
    cv_.notify_all();
    return S_OK;
  }
  HRESULT OnLocalExtensionList(BSTR ids) override {
    std::lock_guard<std::mutex> lock(mutex_);
    list_chars_ = ids ? std::u16string(ids).size() : 0;
    return S_OK;
  }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL) override { return E_NOTIMPL; }
  HRESULT OnExtensionStateChanged(BSTR, LONG) override { return E_NOTIMPL; }

  void WaitForReady(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return ready_ >= count; });
  }
  size_t list_chars() {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_chars_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int ready_ = 0;          // Guarded by mutex_
  size_t list_chars_ = 0;  // Guarded by mutex_
};

// One timed start-up inside a benchmark loop: a new manager (made outside the timing) is
// switched in until OnFirstReady reaches its listener on `thread`; then, outside the timing,
// `at_ready(listener)` looks at the result and the manager is uninitialized and released.
template <class State, class F>
void TimeFirstSwitchUser(State& state, DWORD thread, F&& at_ready) {
  state.PauseTiming();
  ComPtr<ReadyListener> listener = halcy::MakeComObject<ReadyListener>();
  ComPtr<Logic::IExtensionMgr> mgr = NewManager(listener.Get(), thread);
  state.ResumeTiming();
  mgr->SwitchUser();
  listener->WaitForReady(1);
  state.PauseTiming();
  at_ready(listener.Get());
  mgr->UnInitialize();
  mgr = nullptr;
  DrainManagerThread();
  // What the manager's shut-down left to the browser's other threads (the UI thread withdraws
  // every point, the IPC thread closes the channel) ends here, not inside the next start-up.
  for (int other : {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC}) {
    DrainThread(other);
  }
  state.ResumeTiming();
}

}  // namespace bench_support
