// Work the host has started on threads of its own and not finished: downloads of the download
// engine (host/download_engine.h) and programs of the program task manager
// (host/program_task.h). A scenario's "wait" uses it, with WinINet's own bookkeeping
// (halcy::GetInternetActivity), to wait until nothing is outstanding.
//
//   host::BeginWork(host::WorkKind::kDownload);    // before the worker starts
//   ...                                            // its last event delivered
//   host::EndWork(host::WorkKind::kDownload);
//   host::WaitForNoOutstandingWork(deadline);      // elsewhere
//
// A piece of work ends only after its last report has been handed to the thread that gets it,
// so work that is no longer counted has left its consequences in some thread's queue.
//
// Thread-safe: every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace host {

enum class WorkKind { kDownload, kProgram };

struct WorkCounts {
  int downloads = 0;
  int programs = 0;
  uint64_t started = 0;  // every BeginWork since the process began: unchanged means no new work
  bool idle() const { return downloads == 0 && programs == 0; }
};

void BeginWork(WorkKind kind);
void EndWork(WorkKind kind);
WorkCounts OutstandingWork();
// Waits until no download or program is outstanding; false when `deadline` came first.
bool WaitForNoOutstandingWork(std::chrono::steady_clock::time_point deadline);

}  // namespace host
