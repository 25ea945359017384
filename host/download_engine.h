// The browser's download engine (Logic::IDownloadEngine, update/download_engine.h) on libcurl:
// one object per download, one worker thread per running download. The host registers it with
// the object factory, so the module creates it with
// `Util::Com::CreateObjectByIID(IDownloadEngine::kIID, ...)`.
//
// Events (Logic::IDownloadEvents) go to the sinks subscribed through the object's single
// connection point: the object is its own IConnectionPointContainer and IConnectionPoint, for
// IDownloadEvents only. The worker calls the sinks with no lock held.
//
// What the worker does: only http and https (redirects followed, up to 20, to http or https
// only); the proxy from the proxy environment, read in Start on the caller's thread; an HTTP
// status of 400 or above, a truncated body, or more than 1 GiB is a failure. The body goes to
// "<target>.part-XXXXXX", created beside the target with O_EXCL|O_NOFOLLOW, and is renamed
// over the target only once the transfer is complete; every failure or stop removes it.
// Targets may be Windows-style paths (backslashes), as the module writes them.
//
// Threads: every method may be called from any thread, also from inside an event. Releasing
// the last reference while a download runs aborts it (no further events). The worker holds
// the download's state itself, so the object may go at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/connection_point.h"
#include "update/download_engine.h"

namespace host {

class CDownloadEngine : public halcy::ComObjectRoot,
                        public Logic::IDownloadEngine,
                        public IConnectionPointContainer,
                        public IConnectionPoint {
 public:
  HALCY_BEGIN_INTERFACES(CDownloadEngine)
  HALCY_INTERFACE(CDownloadEngine, Logic::IDownloadEngine)
  HALCY_INTERFACE(CDownloadEngine, IConnectionPointContainer)
  HALCY_INTERFACE(CDownloadEngine, IConnectionPoint)
  HALCY_END_INTERFACES()

  // The object factory's entry for IDownloadEngine.
  static HRESULT Create(REFIID iid, void** out);

  CDownloadEngine();
  ~CDownloadEngine();
  void FinalRelease();

  // IDownloadEngine
  HRESULT SetUrl(BSTR url) override;
  HRESULT SetFilePath(BSTR path) override;
  HRESULT Start() override;
  HRESULT Stop(VARIANT_BOOL abort) override;

  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) override;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // IConnectionPoint
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;
  HRESULT EnumConnections(IEnumConnections** out) override;

  // The size cap of downloads started from now on (1 GiB unless changed; for tests).
  void set_max_bytes(int64_t max_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_bytes_ = max_bytes;
  }

  struct Job;  // one download's state, shared with its worker thread

 private:
  // Ends the running download, if any; false when there was none.
  bool StopJob(bool abort);

  // Constant after construction
  const std::shared_ptr<halcy::ConnectionSinkList> sinks_;

  std::mutex mutex_;
  std::u16string url_;                    // Guarded by mutex_
  std::u16string path_;                   // Guarded by mutex_
  std::shared_ptr<Job> job_;              // Guarded by mutex_
  std::thread worker_;                    // Guarded by mutex_
  int64_t max_bytes_ = int64_t{1} << 30;  // Guarded by mutex_
};

}  // namespace host
