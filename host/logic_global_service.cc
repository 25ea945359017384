#include "host/logic_global_service.h"

#include "platform/event.h"
#include "platform/kernel_object.h"
#include "thread/task.h"

namespace host {

CLogicGlobalService::CLogicGlobalService(Thread::IThreadService* thread_service)
    : thread_service_(thread_service) {}

CLogicGlobalService::~CLogicGlobalService() {
  for (HANDLE process : child_processes_) CloseHandle(process);
  if (shutdown_event_) CloseHandle(shutdown_event_);
}

HRESULT CLogicGlobalService::FinalConstruct() {
  shutdown_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return shutdown_event_ ? S_OK : E_FAIL;
}

HRESULT CLogicGlobalService::AddChildProcess(HANDLE process) {
  if (!process || process == INVALID_HANDLE_VALUE) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  child_processes_.push_back(process);
  return S_OK;
}

HRESULT CLogicGlobalService::PostTask(int kind, Thread::CTask* task) {
  if (!thread_service_) {
    delete task;
    return E_FAIL;
  }
  return thread_service_->PostTask(kind, task);
}

HRESULT CLogicGlobalService::GetShutdownEvent(HANDLE* event) {
  if (!event) return E_POINTER;
  *event = shutdown_event_;
  return S_OK;
}

void CLogicGlobalService::SignalShutdown() { SetEvent(shutdown_event_); }

size_t CLogicGlobalService::ChildProcessCount() {
  std::lock_guard<std::mutex> lock(lock_);
  return child_processes_.size();
}

}  // namespace host
