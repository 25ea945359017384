#include "platform/windows.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct WindowState {
  DWORD thread_id = 0;
  bool visible = false;
};

struct WindowTable {
  std::mutex lock;
  std::map<uintptr_t, WindowState> windows;  // Guarded by lock; keys ascend in creation order
  uintptr_t next = 0x10000;                  // Guarded by lock
};

WindowTable& Table() {
  static WindowTable* table = new WindowTable;  // never destroyed: used until process exit
  return *table;
}

uintptr_t Key(HANDLE window) { return reinterpret_cast<uintptr_t>(window); }

}  // namespace

HANDLE CreateStandInWindow(DWORD thread_id, bool visible) {
  WindowTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  const uintptr_t key = table.next;
  table.next += 0x10;
  table.windows[key] = {thread_id, visible};
  return reinterpret_cast<HANDLE>(key);
}

BOOL ShowWindow(HANDLE window, int command) {
  WindowTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto it = table.windows.find(Key(window));
  if (it == table.windows.end()) return FALSE;
  it->second.visible = command != 0;
  return TRUE;
}

BOOL DestroyWindow(HANDLE window) {
  WindowTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  return table.windows.erase(Key(window)) ? TRUE : FALSE;
}

BOOL IsWindow(HANDLE window) {
  WindowTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  return table.windows.count(Key(window)) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HANDLE window) {
  WindowTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto it = table.windows.find(Key(window));
  return it != table.windows.end() && it->second.visible ? TRUE : FALSE;
}

BOOL EnumThreadWindows(DWORD thread_id, WNDENUMPROC callback, LPARAM context) {
  std::vector<HANDLE> mine;
  {
    WindowTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    for (const auto& [key, state] : table.windows) {
      if (state.thread_id == thread_id) mine.push_back(reinterpret_cast<HANDLE>(key));
    }
  }
  for (HANDLE window : mine) {
    if (!callback(window, context)) break;
  }
  return mine.empty() ? FALSE : TRUE;
}
