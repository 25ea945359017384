#include "common/scope_timer.h"

#include <atomic>

#include "common/log.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace Logic {
namespace {

constexpr int kFlagUnread = -1;
std::atomic<int64_t> g_performance_flag{kFlagUnread};
std::atomic<int64_t> g_base_counter{0};
std::atomic<int64_t> g_frequency{0};

int64_t ReadPerformanceFlag() {
  int64_t flag = g_performance_flag.load(std::memory_order_relaxed);
  if (flag != kFlagUnread) return flag;
  flag = 1;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", 0, 0x20019, &key) ==
      ERROR_SUCCESS) {
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExW(key, u"PerformanceTestFlag", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD) {
      flag = value;
    }
    RegCloseKey(key);
  }
  g_performance_flag.store(flag, std::memory_order_relaxed);
  return flag;
}

bool TimersEnabled() { return (ReadPerformanceFlag() & 1) != 0; }

// Counter relative to the process-wide base; the first call of the process sets the base.
int64_t RelativeNow() {
  LARGE_INTEGER now;
  if (g_frequency.load(std::memory_order_relaxed) == 0) {
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    g_base_counter.store(now.QuadPart, std::memory_order_relaxed);
    g_frequency.store(frequency.QuadPart, std::memory_order_relaxed);
    return 0;
  }
  QueryPerformanceCounter(&now);
  return now.QuadPart - g_base_counter.load(std::memory_order_relaxed);
}

}  // namespace

CScopeTimer::CScopeTimer(const char* name, bool start_now) : name_(name ? name : "") {
  ReadPerformanceFlag();
  if (start_now) Start();
}

CScopeTimer::~CScopeTimer() {
  if (state_ != kStopped) Stop();
}

void CScopeTimer::Start() {
  if (!TimersEnabled()) return;
  start_ = RelativeNow();
  state_ = kRunning;
}

void CScopeTimer::Stop() {
  if (!TimersEnabled()) return;
  end_ = RelativeNow();
  state_ = kStopped;
  int64_t frequency = g_frequency.load(std::memory_order_relaxed);
  double elapsed_ms = static_cast<double>(end_ - start_) * 1000.0 / static_cast<double>(frequency);
  if (elapsed_ms > 1.0) {
    Log(kLogDetail, u"perf;", u"PERFORMANCE(%S) : %f ms", name_.c_str(), elapsed_ms);
  }
}

void CScopeTimer::ResetForTesting() {
  g_performance_flag.store(kFlagUnread);
  g_base_counter.store(0);
  g_frequency.store(0);
}

void LogInterfaceLeak(int id, const void* object, int refcount, int max_refcount,
                      const char16_t* interface_name, const char16_t* class_name) {
  Log(kLogFailure, u"leak;",
      u"interface leak: id=%-3d \t 0x%p \t refcount=%-3d \t maxrefcount=%-3d \t %-16s \t %s \r\n",
      id, object, refcount, max_refcount, interface_name, class_name);
}

}  // namespace Logic
