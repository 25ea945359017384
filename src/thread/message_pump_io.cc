#include "thread/message_pump_io.h"

#include "platform/win32.h"

namespace Thread {
namespace {

// Milliseconds to wait for the delayed run time, rounded up so the task is due on waking.
DWORD TimeoutFor(int64_t microseconds_left) {
  int64_t ms = (microseconds_left + 999) / 1000;
  return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

}  // namespace

CMessagePumpForIO::CMessagePumpForIO()
    : port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {}

CMessagePumpForIO::~CMessagePumpForIO() {
  if (port) CloseHandle(port);
}

void CMessagePumpForIO::WaitForWork(int64_t delayed_run_time) {
  DWORD timeout =
      delayed_run_time == 0 ? INFINITE : TimeoutFor(MicrosecondsUntil(delayed_run_time));
  WaitForIOCompletion(timeout, nullptr);
}

void CMessagePumpForIO::ScheduleWork() {
  // One wake-up packet at a time: a burst of posts costs one packet.
  if (have_work.exchange(1) == 1) return;
  auto self = reinterpret_cast<ULONG_PTR>(this);
  if (!PostQueuedCompletionStatus(port, 0, self, reinterpret_cast<OVERLAPPED*>(this))) {
    // Nothing will take the flag back; clear it so that the next post tries again.
    have_work.exchange(0);
  }
}

bool CMessagePumpForIO::RegisterIOHandler(HANDLE file, CIOHandler* handler) {
  HANDLE result = CreateIoCompletionPort(file, port, reinterpret_cast<ULONG_PTR>(handler), 1);
  return result == port && result != nullptr;
}

bool CMessagePumpForIO::GetIOItem(DWORD timeout_ms, IOItem* item) {
  *item = IOItem{};
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, timeout_ms)) {
    if (!overlapped) return false;  // nothing arrived
    item->error = GetLastError();
    bytes = 0;
  }
  item->handler = reinterpret_cast<CIOHandler*>(key);
  item->context = reinterpret_cast<CIOContext*>(overlapped);
  item->bytes_transferred = bytes;
  return true;
}

bool CMessagePumpForIO::MatchCompletedIOItem(CIOHandler* filter, IOItem* item) {
  for (auto it = completed_io.begin(); it != completed_io.end(); ++it) {
    if (!filter || it->handler == filter) {
      *item = *it;
      completed_io.erase(it);
      return true;
    }
  }
  return false;
}

bool CMessagePumpForIO::IsWakeUpPacket(const IOItem& item) const {
  const void* self = this;
  return static_cast<const void*>(item.handler) == self &&
         static_cast<const void*>(item.context) == self;
}

bool CMessagePumpForIO::WaitForIOCompletion(DWORD timeout_ms, CIOHandler* filter) {
  IOItem item;
  if (!MatchCompletedIOItem(filter, &item)) {
    if (!port || !GetIOItem(timeout_ms, &item)) return false;
    if (IsWakeUpPacket(item)) {
      have_work.exchange(0);
      return true;
    }
  }
  return ProcessIOItem(item, filter);
}

bool CMessagePumpForIO::ProcessIOItem(const IOItem& item, CIOHandler* filter) {
  // A packet posted without an OVERLAPPED block has no context to look into.
  if (item.context && !item.context->handler) {
    delete item.context;  // abandoned by its handler
    return true;
  }
  if (!item.handler) return true;  // a packet for nobody: nothing to deliver it to
  if (filter && item.handler != filter) {
    completed_io.push_back(item);
    return true;
  }
  item.handler->OnIOCompleted(item.context, item.bytes_transferred, item.error);
  return true;
}

}  // namespace Thread
