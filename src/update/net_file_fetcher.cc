#include "update/net_file_fetcher.h"

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace Logic {
namespace {

HRESULT StopDownload(ICarryInfo* info, LONG flag) {
  ComPtr<IDownloadTask> task;
  HRESULT hr = info->QueryInterface(IDownloadTask::kIID, task.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) return hr;
  return task->Stop(flag);
}

}  // namespace

CCoNetFileFetcher::CCoNetFileFetcher() = default;

CCoNetFileFetcher::~CCoNetFileFetcher() {
  base::CAutoLock hold(lock_);
  for (size_t i = 0; i < count_; ++i) tasks_[i]->Release();
  std::free(tasks_);
}

HRESULT CCoNetFileFetcher::AddTask(ICarryInfo* info) {
  if (!info) return E_INVALIDARG;
  ComPtr<IDownloadTask> task;
  HRESULT hr = info->QueryInterface(IDownloadTask::kIID, task.ReleaseAndGetVoidAddress());
  if (SUCCEEDED(hr)) hr = task->Start();
  if (FAILED(hr)) return hr;
  base::CAutoLock hold(lock_);
  // A failed growth leaves the download running untracked; the start's result still stands.
  Append(info);
  return hr;
}

bool CCoNetFileFetcher::Append(ICarryInfo* info) {
  if (count_ == capacity_) {
    const size_t limit = SIZE_MAX / sizeof(ICarryInfo*) / 2;
    if (capacity_ > limit) return false;
    const size_t grown = capacity_ ? capacity_ * 2 : 1;
    void* moved = std::realloc(tasks_, grown * sizeof(ICarryInfo*));
    if (!moved) return false;
    tasks_ = static_cast<ICarryInfo**>(moved);
    capacity_ = grown;
  }
  info->AddRef();
  tasks_[count_++] = info;
  return true;
}

ComPtr<ICarryInfo> CCoNetFileFetcher::Remove(ICarryInfo* info) {
  for (size_t i = 0; i < count_; ++i) {
    if (tasks_[i] != info) continue;
    ComPtr<ICarryInfo> removed = AdoptRef(tasks_[i]);
    for (size_t j = i + 1; j < count_; ++j) tasks_[j - 1] = tasks_[j];
    --count_;
    return removed;
  }
  return nullptr;
}

HRESULT CCoNetFileFetcher::StopTask(ICarryInfo* info, LONG flag) {
  if (!info) return E_INVALIDARG;
  // The object's own Stop result is always S_OK; one without IDownloadTask is still dropped.
  StopDownload(info, flag);
  ComPtr<ICarryInfo> removed;  // released after the lock
  base::CAutoLock hold(lock_);
  removed = Remove(info);
  return S_OK;
}

HRESULT CCoNetFileFetcher::StopAll(LONG flag) {
  std::vector<ComPtr<ICarryInfo>> taken;
  {
    base::CAutoLock hold(lock_);
    taken.reserve(count_);
    for (size_t i = 0; i < count_; ++i) taken.push_back(AdoptRef(tasks_[i]));
    count_ = 0;
  }
  for (const ComPtr<ICarryInfo>& info : taken) StopDownload(info.Get(), flag);
  return S_OK;
}

HRESULT CCoNetFileFetcher::RemoveTask(ICarryInfo* info) { return StopTask(info, 0); }
HRESULT CCoNetFileFetcher::AbortTask(ICarryInfo* info) { return StopTask(info, 1); }
HRESULT CCoNetFileFetcher::RemoveAllTasks() { return StopAll(0); }
HRESULT CCoNetFileFetcher::AbortAllTasks() { return StopAll(1); }

}  // namespace Logic
