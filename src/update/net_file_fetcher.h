// The network file fetcher: keeps the download objects (update/carry_info.h) it runs, and
// starts and stops them. The update tracker and the install guide each keep one.
//
//   ComPtr<INetFileFetcher> fetcher;
//   Util::Com::CreateObjectByIID(INetFileFetcher::kIID, fetcher.ReleaseAndGetVoidAddress());
//   fetcher->AddTask(info);      // starts it and keeps it
//   ...
//   fetcher->RemoveTask(info);   // stops it (waiting for the engine) and lets it go
//   fetcher->AbortAllTasks();    // stops every one without waiting
//
// The objects live in an array that grows by doubling from one entry; a growth that would
// overflow fails (AddTask then still reports the start's result; the object runs, untracked).
// Threads: meant for the owner's thread; the array is guarded by the object lock, which is
// never held while a download object is called.
#pragma once

#include <cstddef>

#include "base/lock.h"
#include "base/thread_annotations.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "update/carry_info.h"

namespace Logic {

struct INetFileFetcher : IUnknown {
  static constexpr IID kIID = kIID_INetFileFetcher;
  // E_INVALIDARG for none; otherwise IDownloadTask::Start, and on success keeps the object.
  // Returns the start's result.
  virtual HRESULT AddTask(ICarryInfo* info) = 0;
  // Stop(0) and forget the object (also when it was not kept); S_OK, E_INVALIDARG for none.
  virtual HRESULT RemoveTask(ICarryInfo* info) = 0;
  // The same with Stop(1): the engine is aborted without waiting.
  virtual HRESULT AbortTask(ICarryInfo* info) = 0;
  // Stop(0), respectively Stop(1), on every kept object, then empties the array; S_OK.
  virtual HRESULT RemoveAllTasks() = 0;
  virtual HRESULT AbortAllTasks() = 0;
};

class CCoNetFileFetcher : public halcy::ComObjectRoot,
                          public INetFileFetcher,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoNetFileFetcher)
  HALCY_INTERFACE(CCoNetFileFetcher, INetFileFetcher)
  HALCY_INTERFACE(CCoNetFileFetcher, IProvideClassInfo)
  HALCY_END_INTERFACES()

  CCoNetFileFetcher();
  ~CCoNetFileFetcher();

  HRESULT AddTask(ICarryInfo* info) override;
  HRESULT RemoveTask(ICarryInfo* info) override;
  HRESULT AbortTask(ICarryInfo* info) override;
  HRESULT RemoveAllTasks() override;
  HRESULT AbortAllTasks() override;

 private:
  HRESULT StopTask(ICarryInfo* info, LONG flag);
  HRESULT StopAll(LONG flag);
  // REQUIRES: lock_. Takes a reference on `info`; false when the array cannot grow.
  bool Append(ICarryInfo* info) REQUIRES(lock_);
  // REQUIRES: lock_. Hands out the array's reference on `info`, or null when not kept.
  ComPtr<ICarryInfo> Remove(ICarryInfo* info) REQUIRES(lock_);

  base::CLock lock_;
  ICarryInfo** tasks_ GUARDED_BY(lock_) = nullptr;  // one counted reference each
  size_t count_ GUARDED_BY(lock_) = 0;
  size_t capacity_ GUARDED_BY(lock_) = 0;
};

}  // namespace Logic
