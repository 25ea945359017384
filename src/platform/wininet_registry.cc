// The table of live WinINet handles and the one worker thread that drives every asynchronous
// transfer through libcurl's multi interface and delivers every status notification.
//
// The worker starts when the first command arrives and ends as soon as it has nothing left to
// do (no command queued, no transfer running); the next command starts it again. At process
// exit the table's destructor stops a worker that still runs, abandoning its transfers, and
// joins it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/wininet_internal.h"

namespace halcy::wininet {
namespace {

struct Command {
  enum Kind { kStart, kComplete, kClose } kind;
  std::shared_ptr<Handle> handle;
  std::unique_ptr<Transfer> transfer;  // kStart only
  DWORD error = 0;                     // kComplete only
};

struct Notification {
  std::shared_ptr<Handle> handle;
  DWORD status;
  DWORD error;
};

struct Running {
  std::shared_ptr<Handle> handle;
  std::unique_ptr<Transfer> transfer;
};
using RunningMap = std::unordered_map<CURL*, Running>;

class Registry {
 public:
  static Registry& Get() {
    static Registry registry;
    return registry;
  }
  ~Registry();

  std::mutex mu;
  // Guarded by mu.
  std::unordered_map<HINTERNET, std::shared_ptr<Handle>> live;

  // REQUIRES: mu held.
  HINTERNET NextId() { return reinterpret_cast<HINTERNET>((next_id_++ << 4) | 0xC); }
  // Queues `command` for the worker, starting it when it is not running. REQUIRES: mu held.
  void PostLocked(Command command);

  // Activity bookkeeping. Guarded by mu; `idle` is notified whenever it may have become idle.
  bool BusyLocked() const { return running_ || sync_transfers > 0; }
  int sync_transfers = 0;
  uint64_t started = 0;
  std::condition_variable idle;

 private:
  Registry() = default;
  void Run();
  void Apply(Command& command, RunningMap* running, std::vector<Notification>* out);
  void Drive(RunningMap* running, std::vector<Notification>* out);
  void Deliver(std::vector<Notification>* out);

  // Guarded by mu.
  uintptr_t next_id_ = 1;
  std::vector<Command> commands_;
  CURLM* multi_ = nullptr;  // made with the first worker, kept until process exit
  bool running_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

Registry::~Registry() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(mu);
    stopping_ = true;
    if (running_ && multi_ != nullptr) curl_multi_wakeup(multi_);
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
  commands_.clear();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void Registry::PostLocked(Command command) {
  if (stopping_) return;                           // process exit: nobody is left to notify
  if (command.kind != Command::kClose) ++started;  // a send-ex or an end of a request
  commands_.push_back(std::move(command));
  if (running_) {
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
    return;
  }
  // A worker that ran dry has returned (or is returning) from Run without taking the lock
  // again, so joining it here cannot deadlock.
  if (worker_.joinable()) worker_.join();
  if (multi_ == nullptr) {
    EnsureCurlGlobal();
    multi_ = curl_multi_init();  // null: transfers fail with ERROR_INTERNET_INTERNAL_ERROR
  }
  running_ = true;
  worker_ = std::thread([this] { Run(); });
}

void Registry::Run() {
  RunningMap running;
  std::vector<Notification> out;
  for (;;) {
    std::vector<Command> batch;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stopping_) break;
      if (commands_.empty() && running.empty()) {
        running_ = false;
        idle.notify_all();  // under the lock: a waiter cannot miss it
        return;
      }
      batch.swap(commands_);
    }
    for (Command& command : batch) Apply(command, &running, &out);
    batch.clear();
    Deliver(&out);
    if (running.empty()) continue;
    Drive(&running, &out);
    Deliver(&out);
    // Returns early on socket activity or on curl_multi_wakeup from PostLocked.
    if (!running.empty()) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  for (auto& entry : running) curl_multi_remove_handle(multi_, entry.first);
}

void Registry::Apply(Command& command, RunningMap* running, std::vector<Notification>* out) {
  const std::shared_ptr<Handle>& handle = command.handle;
  if (command.kind == Command::kComplete) {
    out->push_back({handle, INTERNET_STATUS_REQUEST_COMPLETE, command.error});
    return;
  }
  if (command.kind == Command::kClose) {
    for (auto it = running->begin(); it != running->end(); ++it) {
      if (it->second.handle != handle) continue;
      curl_multi_remove_handle(multi_, it->first);  // abandons the transfer
      running->erase(it);
      break;
    }
    out->push_back({handle, INTERNET_STATUS_HANDLE_CLOSING, 0});
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    if (handle->closed) return;  // closed before the transfer began: nothing to report
  }
  DWORD error = ERROR_INTERNET_INTERNAL_ERROR;
  if (multi_ != nullptr && command.transfer->Prepare(&error) &&
      curl_multi_add_handle(multi_, command.transfer->easy()) == CURLM_OK) {
    CURL* easy = command.transfer->easy();
    (*running)[easy] = Running{handle, std::move(command.transfer)};
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    handle->state = RequestState::kFailed;
  }
  out->push_back({handle, INTERNET_STATUS_REQUEST_COMPLETE, error});
}

void Registry::Drive(RunningMap* running, std::vector<Notification>* out) {
  int still_running = 0;
  curl_multi_perform(multi_, &still_running);
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    auto it = running->find(message->easy_handle);
    if (it == running->end()) continue;
    CURLcode code = message->data.result;  // read before the handle is removed
    curl_multi_remove_handle(multi_, it->first);
    Reply reply;
    DWORD error = it->second.transfer->Finish(code, &reply);
    std::shared_ptr<Handle> handle = std::move(it->second.handle);
    running->erase(it);
    std::lock_guard<std::mutex> lock(mu);
    if (handle->closed) continue;
    handle->state = error == 0 ? RequestState::kDone : RequestState::kFailed;
    handle->reply = std::move(reply);
    handle->read_offset = 0;
    out->push_back({std::move(handle), INTERNET_STATUS_REQUEST_COMPLETE, error});
  }
}

// Calls each callback with no lock held, in queue order. A completion for a handle closed
// meanwhile is dropped; HANDLE_CLOSING is always the handle's last notification.
void Registry::Deliver(std::vector<Notification>* out) {
  for (Notification& n : *out) {
    INTERNET_STATUS_CALLBACK callback;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (n.status == INTERNET_STATUS_REQUEST_COMPLETE && n.handle->closed) continue;
      callback = n.handle->callback;
    }
    if (callback == nullptr) continue;
    HINTERNET id = n.handle->id;
    if (n.status == INTERNET_STATUS_HANDLE_CLOSING) {
      callback(id, n.handle->context, n.status, &id, sizeof id);
      continue;
    }
    INTERNET_ASYNC_RESULT result{n.error == 0 ? DWORD_PTR{TRUE} : DWORD_PTR{FALSE}, n.error};
    callback(id, n.handle->context, n.status, &result, sizeof result);
  }
  out->clear();
}

}  // namespace

std::unique_lock<std::mutex> LockTable() {
  return std::unique_lock<std::mutex>(Registry::Get().mu);
}

HINTERNET RegisterLocked(std::shared_ptr<Handle> handle) {
  Registry& registry = Registry::Get();
  handle->id = registry.NextId();
  if (handle->parent != nullptr) handle->callback = handle->parent->callback;
  HINTERNET id = handle->id;
  registry.live.emplace(id, std::move(handle));
  return id;
}

std::shared_ptr<Handle> FindLocked(HINTERNET id) {
  Registry& registry = Registry::Get();
  auto it = registry.live.find(id);
  return it == registry.live.end() ? nullptr : it->second;
}

bool Close(HINTERNET id) {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  auto it = registry.live.find(id);
  if (it == registry.live.end()) return false;
  std::shared_ptr<Handle> handle = std::move(it->second);
  registry.live.erase(it);
  handle->closed = true;
  registry.PostLocked(Command{Command::kClose, std::move(handle), nullptr, 0});
  return true;
}

void StartOnWorker(std::shared_ptr<Handle> handle, std::unique_ptr<Transfer> transfer) {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  registry.PostLocked(Command{Command::kStart, std::move(handle), std::move(transfer), 0});
}

void CompleteOnWorker(std::shared_ptr<Handle> handle, DWORD error) {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  registry.PostLocked(Command{Command::kComplete, std::move(handle), nullptr, error});
}

void BeginSyncTransfer() {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  ++registry.sync_transfers;
  ++registry.started;
}

void EndSyncTransfer() {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  if (--registry.sync_transfers == 0) registry.idle.notify_all();
}

INTERNET_STATUS_CALLBACK SetCallback(HINTERNET id, INTERNET_STATUS_CALLBACK callback) {
  std::unique_lock<std::mutex> lock = LockTable();
  std::shared_ptr<Handle> handle = FindLocked(id);
  if (handle == nullptr) return INTERNET_INVALID_STATUS_CALLBACK;
  INTERNET_STATUS_CALLBACK previous = handle->callback;
  handle->callback = callback;
  return previous;
}

}  // namespace halcy::wininet

namespace halcy {

InternetActivity GetInternetActivity() {
  wininet::Registry& registry = wininet::Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mu);
  return {registry.BusyLocked(), registry.started};
}

bool WaitForInternetIdle(DWORD timeout_ms) {
  wininet::Registry& registry = wininet::Registry::Get();
  std::unique_lock<std::mutex> lock(registry.mu);
  return registry.idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return !registry.BusyLocked(); });
}

}  // namespace halcy
