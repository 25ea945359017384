// The pump of the IPC thread: it waits on an I/O completion port, so that overlapped pipe
// operations and posted tasks wake the same thread.
//
// A handle is registered once with its handler (`RegisterIOHandler`); every overlapped call on
// it passes a `CIOContext` whose OVERLAPPED block comes back with the completion, and the pump
// calls the handler's `OnIOCompleted` on the IPC thread. ScheduleWork queues one wake-up packet
// (key and overlapped pointer both equal to the pump) while none is outstanding.
//
//   struct CChannel : CMessagePumpForIO::CIOHandler { CMessagePumpForIO::CIOContext input; ... };
//   pump->RegisterIOHandler(pipe, channel);
//   ReadFile(pipe, buffer, size, nullptr, &channel->input.overlapped);
//   // later, on the IPC thread: channel->OnIOCompleted(&channel->input, bytes, error)
//
// A handler that goes away with an operation still in flight abandons its context: it sets
// the context's `handler` to null and leaves it allocated; the pump deletes it when the
// completion arrives. `WaitForIOCompletion` with a filter waits for one handler's completion
// (a closing channel uses it) and keeps other handlers' completions in `completed_io` for the
// next wait.
//
// Thread contract: ScheduleWork from any thread; everything else on the pump's thread.
#pragma once

#include <atomic>
#include <list>

#include "platform/iocp.h"
#include "platform/win_types.h"
#include "thread/message_pump.h"

namespace Thread {

class CMessagePumpForIO final : public CMessagePump {
 public:
  class CIOHandler;

  // The record of one overlapped operation. Allocated with new when it may be abandoned.
  struct CIOContext {
    OVERLAPPED overlapped;
    CIOHandler* handler;
  };

  class CIOHandler {
   public:
    virtual ~CIOHandler() = default;
    virtual void OnIOCompleted(CIOContext* context, DWORD bytes_transferred, DWORD error) = 0;
  };

  // One completion taken from the port.
  struct IOItem {
    CIOHandler* handler;
    CIOContext* context;
    DWORD bytes_transferred;
    DWORD error;
  };

  // Creates the completion port; `port` is null if that failed, and the pump must not be run
  // then (the host checks before it starts the IPC thread).
  CMessagePumpForIO();

  void ScheduleWork() override;

  // Binds `file` to the port with `handler` as the completion key.
  bool RegisterIOHandler(HANDLE file, CIOHandler* handler);

  // Waits up to `timeout_ms` for one completion and delivers it; with `filter`, only that
  // handler's completions are delivered and others are kept for a later wait. False when
  // nothing arrived in time.
  bool WaitForIOCompletion(DWORD timeout_ms, CIOHandler* filter);

  // Constant after construction
  HANDLE port;
  // 1 while a wake-up packet is queued; taken back with an atomic exchange.
  std::atomic<LONG> have_work{0};
  // Completions kept by a filtered wait. Touched only on the pump's thread.
  std::list<IOItem> completed_io;

 private:
  ~CMessagePumpForIO() override;

  bool GetIOItem(DWORD timeout_ms, IOItem* item);
  bool MatchCompletedIOItem(CIOHandler* filter, IOItem* item);
  bool ProcessIOItem(const IOItem& item, CIOHandler* filter);
  bool IsWakeUpPacket(const IOItem& item) const;
  // Completions that are already in are delivered between tasks, without sleeping.
  bool DoPumpWork() override { return WaitForIOCompletion(0, nullptr); }
  void WaitForWork(int64_t delayed_run_time) override;
};

}  // namespace Thread
