#include "platform/threads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

// A forked child keeps the parent's thread-local copy; the generation tells it to ask again.
std::atomic<unsigned> g_fork_generation{0};

void OnForkInChild() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &OnForkInChild);

struct CachedThreadId {
  DWORD tid = 0;
  unsigned generation = ~0u;
};

}  // namespace

DWORD GetCurrentThreadId() {
  // Cached per thread: posting code compares thread ids on every call.
  thread_local CachedThreadId cached;
  unsigned generation = g_fork_generation.load(std::memory_order_relaxed);
  if (cached.generation != generation) {
    cached.tid = static_cast<DWORD>(syscall(SYS_gettid));
    cached.generation = generation;
  }
  return cached.tid;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
