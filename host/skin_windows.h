// The browser's skinned independent windows (command/browser_windows.h, ISkinWindow): each
// window object records its calls as {"to":"ui",...} lines (host/ui_call_log.h) and, once
// shown, enters the shared table of open windows by (extension id, window id) with a window
// handle of its own, where the extension window manager finds, updates and closes it.
//
//   auto windows = std::make_shared<host::CSkinWindowTable>(log);
//   ... register CSkinWindow::Factory(windows) for ISkinWindow ...
//
// Free-threaded: the table is under its own lock, never held while the log is written.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "command/browser_windows.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"

namespace host {

class CSkinWindowTable {
 public:
  struct Window {
    std::u16string skin;
    HANDLE handle = nullptr;
    HANDLE owner = nullptr;
  };
  explicit CSkinWindowTable(std::shared_ptr<CUiCallLog> log) : log_(std::move(log)) {}

  CUiCallLog* log() const { return log_.get(); }
  // Enters a shown window under a fresh handle (a window of the same ids is replaced).
  HANDLE Add(const std::u16string& extension_id, const std::u16string& window_id,
             const std::u16string& skin, HANDLE owner);
  std::optional<Window> Find(const std::u16string& extension_id,
                             const std::u16string& window_id) const;
  // False when there was no such window.
  bool Remove(const std::u16string& extension_id, const std::u16string& window_id);

 private:
  const std::shared_ptr<CUiCallLog> log_;
  mutable std::mutex lock_;
  std::map<std::pair<std::u16string, std::u16string>, Window> windows_;  // Guarded by lock_
  uintptr_t next_handle_ = 0x80000;                                      // Guarded by lock_
};

class CSkinWindow : public halcy::ComObjectRoot, public Logic::ISkinWindow {
 public:
  HALCY_BEGIN_INTERFACES(CSkinWindow)
  HALCY_INTERFACE(CSkinWindow, Logic::ISkinWindow)
  HALCY_END_INTERFACES()

  // The creatable-class entry that makes windows entering `table`.
  static halcy::CreatableClass Factory(std::shared_ptr<CSkinWindowTable> table);

  explicit CSkinWindow(std::shared_ptr<CSkinWindowTable> table) : table_(std::move(table)) {}

  HRESULT InitSkinWindow(BSTR skin, BSTR window_id, BSTR extension_id) override;
  HRESULT ShowSkinWindow(HANDLE owner, LONG x, LONG y, LONG arg1, LONG arg2) override;

 private:
  const std::shared_ptr<CSkinWindowTable> table_;
  std::mutex lock_;
  std::u16string skin_, window_id_, extension_id_;  // Guarded by lock_
};

}  // namespace host
