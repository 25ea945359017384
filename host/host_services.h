// The browser's threads and services as one unit: Start runs the UI (1), process-launcher (2),
// IPC (3, completion-port pump) and extension-manager (8) threads and registers the thread
// service, the loop registry and the global logic service with the object factory; Stop
// signals the shutdown event, ends the threads (every queued task runs or is deleted) and
// withdraws the services, putting back whatever was registered before.
//
//   host::CHostServices services;
//   if (!services.Start()) return 2;
//   ... drive the module ...
//   services.Stop();  // also done by the destructor
//
// Start and Stop belong to one owning thread; the services themselves are free-threaded.
#pragma once

#include <memory>
#include <vector>

#include "platform/com.h"
#include "platform/win_types.h"

namespace host {

class CBrowserThread;
class CLogicGlobalService;
class CThreadService;

class CHostServices {
 public:
  CHostServices();
  ~CHostServices();
  CHostServices(const CHostServices&) = delete;
  CHostServices& operator=(const CHostServices&) = delete;

  bool Start();
  void Stop();

  // Null for a kind the host does not run, or before Start.
  CBrowserThread* thread(int kind) const;
  CThreadService* thread_service() const { return thread_service_.Get(); }
  CLogicGlobalService* logic_global_service() const { return logic_global_service_.Get(); }

 private:
  void Register();
  void Unregister();

  ComPtr<CThreadService> thread_service_;
  ComPtr<CLogicGlobalService> logic_global_service_;
  std::vector<std::unique_ptr<CBrowserThread>> threads_;
  // What the object factory held before Start, put back by Stop.
  std::vector<std::pair<IID, ComPtr<IUnknown>>> replaced_;
};

}  // namespace host
