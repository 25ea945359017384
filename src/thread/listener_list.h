// A list of listeners, each called on the thread it was registered for: the broadcast of the
// extension manager and of the context menu manager. A call for a listener of the calling
// thread runs at once; one for a listener of another thread is posted there as a task named
// "func" (which holds its own reference on the listener).
//
//   Thread::CListenerList<IMyListener> listeners;
//   listeners.Add(id, GetCurrentThreadId(), listener);
//   listeners.CallEach(0, [json](IMyListener* l) { return l->OnChanged(json); });
//
// Free-threaded: the list is copied under its lock and no lock is held while a listener runs,
// so a listener may call back into its owner.
#pragma once

#include <mutex>
#include <vector>

#include "platform/com.h"
#include "platform/threads.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Thread {

template <class Listener>
class CListenerList {
 public:
  // Appends `listener` (adding a reference) to be called on `thread_id`; E_INVALIDARG for null.
  HRESULT Add(LONG id, DWORD thread_id, Listener* listener) {
    if (!listener) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    entries_.push_back({id, thread_id, ComPtr<Listener>(listener)});
    return S_OK;
  }

  // Calls `call(listener)` (returning an HRESULT) for every entry but those whose id is
  // `excluded_id` (0 excludes none). Returns the result of the last call made at once, S_OK
  // when none was.
  template <class Call>
  HRESULT CallEach(LONG excluded_id, const Call& call) const {
    std::vector<Entry> entries;
    {
      std::lock_guard<std::mutex> hold(lock_);
      entries = entries_;
    }
    HRESULT result = S_OK;
    const DWORD current = GetCurrentThreadId();
    for (const Entry& entry : entries) {
      if (excluded_id != 0 && entry.id == excluded_id) continue;
      if (entry.thread_id == current) {
        result = call(entry.listener.Get());
        continue;
      }
      CTask* task = NewFuncTask([listener = entry.listener, call] { call(listener.Get()); });
      if (task) PostTaskToThread(entry.thread_id, task);
    }
    return result;
  }

 private:
  struct Entry {
    LONG id;
    DWORD thread_id;  // the owner thread, recorded at registration
    ComPtr<Listener> listener;
  };

  mutable std::mutex lock_;
  std::vector<Entry> entries_;  // Guarded by lock_
};

}  // namespace Thread
