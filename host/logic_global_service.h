// The browser's global logic service: posts to thread kinds through the thread service, owns
// the browser's shutdown event (manual reset, signalled by SignalShutdown at exit) and keeps
// the handles of child processes handed to it, closing them when it goes.
//
// Free-threaded: every method from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "module/logic_global_service.h"
#include "platform/com_object.h"
#include "thread/thread_service.h"

namespace host {

class CLogicGlobalService : public halcy::ComObjectRoot, public Logic::ILogicGlobalService {
 public:
  HALCY_BEGIN_INTERFACES(CLogicGlobalService)
  HALCY_INTERFACE(CLogicGlobalService, Logic::ILogicGlobalService)
  HALCY_END_INTERFACES()

  // Posts go to `thread_service` (a reference is kept).
  explicit CLogicGlobalService(Thread::IThreadService* thread_service);
  ~CLogicGlobalService();
  HRESULT FinalConstruct();

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT AddChildProcess(HANDLE process) override;
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT PostTask(int kind, Thread::CTask* task) override;
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT GetShutdownEvent(HANDLE* event) override;

  // Host side.
  void SignalShutdown();
  size_t ChildProcessCount();

 private:
  // Constant after construction
  ComPtr<Thread::IThreadService> thread_service_;
  HANDLE shutdown_event_ = nullptr;

  std::mutex lock_;
  std::vector<HANDLE> child_processes_;  // Guarded by lock_
};

}  // namespace host
