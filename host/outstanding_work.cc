#include "host/outstanding_work.h"

#include <cassert>
#include <condition_variable>
#include <mutex>

namespace host {
namespace {

struct Ledger {
  std::mutex lock;
  std::condition_variable idle;  // notified whenever a count drops to zero
  WorkCounts counts;             // Guarded by lock
};

Ledger& TheLedger() {
  static Ledger* ledger = new Ledger;  // never destroyed: workers may end during exit
  return *ledger;
}

int& Count(WorkCounts& counts, WorkKind kind) {
  return kind == WorkKind::kDownload ? counts.downloads : counts.programs;
}

}  // namespace

void BeginWork(WorkKind kind) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.lock);
  ++Count(ledger.counts, kind);
  ++ledger.counts.started;
}

void EndWork(WorkKind kind) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.lock);
  int& count = Count(ledger.counts, kind);
  assert(count > 0);
  if (--count == 0) ledger.idle.notify_all();
}

WorkCounts OutstandingWork() {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.lock);
  return ledger.counts;
}

bool WaitForNoOutstandingWork(std::chrono::steady_clock::time_point deadline) {
  Ledger& ledger = TheLedger();
  std::unique_lock<std::mutex> hold(ledger.lock);
  return ledger.idle.wait_until(hold, deadline, [&] { return ledger.counts.idle(); });
}

}  // namespace host
