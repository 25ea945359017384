#include "platform/window_rect.h"

#include <map>
#include <mutex>

namespace {

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::map<HANDLE, RECT>& Table() {  // Guarded by Lock()
  static std::map<HANDLE, RECT> table;
  return table;
}

}  // namespace

BOOL GetWindowRect(HANDLE window, RECT* rect) {
  if (!window || !rect) return FALSE;
  std::lock_guard<std::mutex> hold(Lock());
  auto found = Table().find(window);
  if (found == Table().end()) return FALSE;
  *rect = found->second;
  return TRUE;
}

namespace halcy {

void SetWindowRectOf(HANDLE window, const RECT& rect) {
  std::lock_guard<std::mutex> hold(Lock());
  Table()[window] = rect;
}

void ForgetWindowRect(HANDLE window) {
  std::lock_guard<std::mutex> hold(Lock());
  Table().erase(window);
}

}  // namespace halcy
