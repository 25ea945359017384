// The download object: one file to fetch (address, target path, listener, progress figures),
// run by the browser's download engine (update/download_engine.h) and handed to the network
// file fetcher (update/net_file_fetcher.h), which starts and stops it.
//
//   ComPtr<ICarryInfo> info;
//   Util::Com::CreateObjectByIID(ICarryInfo::kIID, info.ReleaseAndGetVoidAddress());
//   info->SetUrl(url);
//   info->SetFilePath(path);
//   info->SetListener(listener);   // notifications come back on this thread
//   fetcher->AddTask(info.Get());  // IDownloadTask::Start
//
// Notifications. The engine reports on its own thread to `CarryProxy`, the object's event sink,
// which holds only a weak link back to the object (cleared when the object stops or dies), so
// that the engine, its sink and the object form no reference cycle. The object records the
// status and figures, then calls its listener: directly when it is already on the listener's
// thread, otherwise through a task named "FunName" posted to that thread by thread id, which
// holds a reference to the object until it has run. A notification is dropped when, by the
// time it runs, the listener was cleared or the download stopped or started again: nothing
// reaches the listener from a download after its Stop.
//
// Threads: the setters, Start and Stop belong to the owner's thread (the extension manager's);
// the getters may be called from any thread. No lock is held while the engine or the listener
// is called.
#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "base/thread_annotations.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/connection_point.h"
#include "update/download_engine.h"

namespace Logic {

struct ICarryInfo;

// What a download object tells its listener; always called on the listener's thread.
// `status` takes the engine's values (update/download_engine.h): 3 means the file is complete
// under its name, 5 failed (after OnCarryError).
struct ICarryListener : IUnknown {
  static constexpr IID kIID = MakeGuid("ABC86D47-C7E5-48D0-846F-2C987A0A8B62");
  virtual HRESULT OnCarryStatus(ICarryInfo* info, LONG status) = 0;
  virtual HRESULT OnCarryProgress(ICarryInfo* info, double received, double total) = 0;
  virtual HRESULT OnCarryError(ICarryInfo* info, HRESULT error) = 0;
};

struct ICarryInfo : IUnknown {
  static constexpr IID kIID = kIID_ICarryInfo;
  virtual HRESULT SetUrl(BSTR url) = 0;        // E_FAIL for none
  virtual HRESULT GetUrl(BSTR* url) = 0;       // a copy; null when never set
  virtual HRESULT SetFilePath(BSTR path) = 0;  // E_FAIL for none
  virtual HRESULT GetFilePath(BSTR* path) = 0;
  virtual HRESULT SetOption(LONG option) = 0;         // kept with the object (initially 1)
  virtual HRESULT GetStatus(LONG* status) = 0;        // E_INVALIDARG for a null pointer
  virtual HRESULT GetReceived(double* received) = 0;  // bytes, as last reported
  virtual HRESULT GetTotal(double* total) = 0;        // bytes expected, 0 when unknown
  // Keeps `listener` and records the calling thread as the one notifications go to. E_FAIL
  // for none.
  virtual HRESULT SetListener(ICarryListener* listener) = 0;
  virtual HRESULT ClearListener() = 0;
};

// Starting and stopping the download.
struct IDownloadTask : IUnknown {
  static constexpr IID kIID = kIID_IDownloadTask;
  // E_INVALIDARG without URL or path; E_UNEXPECTED while the object holds an engine (from a
  // successful Start until Stop, also once the file is complete). Otherwise creates the
  // engine, subscribes to its events, hands it URL and path and starts it: the first failure
  // or S_OK. Status and figures start again from 0.
  virtual HRESULT Start() = 0;
  // Stops a running engine (abort when `flag` is non-zero, see IDownloadEngine::Stop),
  // unsubscribes and releases it; a download not yet complete or failed gets status 4.
  // Always S_OK.
  virtual HRESULT Stop(LONG flag) = 0;
};

class CarryProxy;

class CCoCarryInfo : public halcy::ComObjectRoot,
                     public ICarryInfo,
                     public IDownloadTask,
                     public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoCarryInfo)
  HALCY_INTERFACE(CCoCarryInfo, ICarryInfo)
  HALCY_INTERFACE(CCoCarryInfo, IDownloadTask)
  HALCY_INTERFACE(CCoCarryInfo, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CCoCarryInfo();
  ~CCoCarryInfo();
  void FinalRelease();

  // ICarryInfo
  HRESULT SetUrl(BSTR url) override;
  HRESULT GetUrl(BSTR* url) override;
  HRESULT SetFilePath(BSTR path) override;
  HRESULT GetFilePath(BSTR* path) override;
  HRESULT SetOption(LONG option) override;
  HRESULT GetStatus(LONG* status) override;
  HRESULT GetReceived(double* received) override;
  HRESULT GetTotal(double* total) override;
  HRESULT SetListener(ICarryListener* listener) override;
  HRESULT ClearListener() override;

  // IDownloadTask
  HRESULT Start() override;
  HRESULT Stop(LONG flag) override;

  // The engine's events for run `run`, forwarded by CarryProxy on the engine's thread.
  void OnEngineStatus(uint64_t run, LONG status);
  void OnEngineProgress(uint64_t run, double received, double total);
  void OnEngineError(uint64_t run, HRESULT error);

 private:
  struct Connection;
  // A string property: null until set.
  struct TextField {
    std::u16string text;
    bool set = false;
  };
  HRESULT SetText(BSTR text, TextField* field);
  HRESULT GetText(const TextField& field, BSTR* out);
  // Copies a field out under the lock; E_POINTER for a null `out`.
  template <class T>
  HRESULT ReadLocked(const T& field, T* out) const;
  template <class F>
  void Notify(uint64_t run, F call);
  template <class F>
  void DeliverNow(uint64_t run, const F& call);
  HRESULT Connect(Connection* connection);
  void Disconnect(Connection* connection, LONG flag);

  mutable base::CLock lock_;
  TextField url_ GUARDED_BY(lock_);
  TextField file_path_ GUARDED_BY(lock_);
  ComPtr<ICarryListener> listener_ GUARDED_BY(lock_);
  DWORD listener_thread_ GUARDED_BY(lock_) = 0;
  LONG status_ GUARDED_BY(lock_) = kDownloadIdle;
  LONG option_ GUARDED_BY(lock_) = 1;
  double received_ GUARDED_BY(lock_) = 0.0;
  double total_ GUARDED_BY(lock_) = 0.0;
  // Counts Starts and Stops; events and notifications of an earlier run are dropped.
  uint64_t run_ GUARDED_BY(lock_) = 0;
  // The running engine, its connection point, the subscription and the sink.
  ComPtr<IDownloadEngine> engine_ GUARDED_BY(lock_);
  ComPtr<IConnectionPoint> point_ GUARDED_BY(lock_);
  DWORD cookie_ GUARDED_BY(lock_) = 0;
  ComPtr<CarryProxy> proxy_ GUARDED_BY(lock_);
};

}  // namespace Logic
