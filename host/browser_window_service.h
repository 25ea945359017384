// The browser-window service (extension/browser_window_service.h) as the browser stand-in keeps
// it: the frames of the window model (host/browser_model.h), each with an accelerator table of
// (hot-key word, extension) entries, and the closing of tabs. Every registration the module
// makes is printed as one {"to":"ui","call":"RegisterAccelerator","args":[frame, hotkey, id]}
// line (host/ui_call_log.h); CloseTab as {"call":"CloseTab","args":[tab]}.
//
//   auto windows = halcy::MakeComObject<host::CBrowserWindowService>(log, model);
//   ... register windows as IBrowserWindowService; the module registers accelerators ...
//   windows->Press(u"Ctrl+Shift+Y");   // IExtensionNotifyMgr slot 18 (id, "") for the owner
//
// Free-threaded: the tables live under one lock, never held while the model, the log or the
// notification manager is called. The browser calls Press on its UI thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "extension/browser_window_service.h"
#include "host/ui_call_log.h"
#include "platform/com_object.h"

namespace host {

class CBrowserModel;

class CBrowserWindowService : public halcy::ComObjectRoot, public Logic::IBrowserWindowService {
 public:
  HALCY_BEGIN_INTERFACES(CBrowserWindowService)
  HALCY_INTERFACE(CBrowserWindowService, Logic::IBrowserWindowService)
  HALCY_END_INTERFACES()

  CBrowserWindowService(std::shared_ptr<CUiCallLog> log, ComPtr<CBrowserModel> model);
  ~CBrowserWindowService();

  // The extension whose accelerator matches `keys` ("Ctrl+Shift+Y") on the first frame that
  // has one hears of the key press; false when the keys do not parse or no extension took them.
  bool Press(std::u16string_view keys);
  // The extensions registered for `hotkey` on frame `frame_id`, in registration order.
  std::vector<std::u16string> Registered(LONG frame_id, WORD hotkey) const;

  // --- IBrowserWindowService ---
  HRESULT GetFrameCount(LONG* count) override;
  HRESULT GetFrame(LONG index, IUnknown** frame) override;
  HRESULT CloseTab(LONG tab_id) override;

  // Called by a frame's accelerator table.
  void Register(LONG frame_id, WORD hotkey, const std::u16string& extension_id);

 private:
  struct Entry {
    WORD hotkey;
    std::u16string extension_id;
  };
  // One frame's registrations. An extension holds one entry; re-registering moves it to the
  // end. Entries are keyed by a counter that only grows, so walking `by_order` yields
  // registration order, and `order_of` finds an extension's entry without a scan.
  struct FrameTable {
    std::map<uint64_t, Entry> by_order;
    std::unordered_map<std::u16string, uint64_t> order_of;
  };

  const std::shared_ptr<CUiCallLog> log_;
  const ComPtr<CBrowserModel> model_;
  mutable std::mutex lock_;
  std::map<LONG, FrameTable> accelerators_;  // frame id -> registrations; Guarded by lock_
  uint64_t next_order_ = 0;                  // Guarded by lock_
};

}  // namespace host
