#include "host/browser_window_service.h"

#include "command/browser_model.h"
#include "command/extension_notify_mgr.h"
#include "extension/accelerator.h"
#include "host/browser_model.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"

namespace host {
namespace {

// One frame's accelerator table, handed out by GetFrame; registrations go to the service,
// which keeps them by frame id, so that a table handed out twice sees one set.
class CFrameAccelerators : public halcy::ComObjectRoot, public Logic::IFrameAccelerators {
 public:
  HALCY_BEGIN_INTERFACES(CFrameAccelerators)
  HALCY_INTERFACE(CFrameAccelerators, Logic::IFrameAccelerators)
  HALCY_END_INTERFACES()

  CFrameAccelerators(ComPtr<CBrowserWindowService> service, LONG frame_id)
      : service_(std::move(service)), frame_id_(frame_id) {}

  HRESULT RegisterAccelerator(WORD hotkey, IUnknown* command) override {
    ComPtr<Logic::IAcceleratorCommand> named;
    halcy::ScopedBstr id;
    if (!command ||
        FAILED(command->QueryInterface(Logic::IAcceleratorCommand::kIID,
                                       reinterpret_cast<void**>(named.ReleaseAndGetAddressOf()))) ||
        !named || FAILED(named->GetExtensionId(id.Receive())) || id.View().empty()) {
      return E_INVALIDARG;
    }
    service_->Register(frame_id_, hotkey, std::u16string(id.View()));
    return S_OK;
  }

 private:
  const ComPtr<CBrowserWindowService> service_;
  const LONG frame_id_;
};

}  // namespace

CBrowserWindowService::CBrowserWindowService(std::shared_ptr<CUiCallLog> log,
                                             ComPtr<CBrowserModel> model)
    : log_(std::move(log)), model_(std::move(model)) {}

CBrowserWindowService::~CBrowserWindowService() = default;

HRESULT CBrowserWindowService::GetFrameCount(LONG* count) {
  if (!count) return E_POINTER;
  return model_->GetItemCount(Logic::kBrowserItemTopLevelFrame, count);
}

HRESULT CBrowserWindowService::GetFrame(LONG index, IUnknown** frame) {
  if (!frame) return E_POINTER;
  *frame = nullptr;
  ComPtr<Logic::IBrowserFrame> model_frame;
  LONG frame_id = 0;
  HRESULT hr = model_->GetItem(Logic::kBrowserItemTopLevelFrame, index,
                               model_frame.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !model_frame || FAILED(model_frame->GetFrameId(&frame_id))) {
    return FAILED(hr) ? hr : E_FAIL;
  }
  ComPtr<CFrameAccelerators> table =
      halcy::MakeComObject<CFrameAccelerators>(ComPtr<CBrowserWindowService>(this), frame_id);
  if (!table) return E_OUTOFMEMORY;
  return table->QueryInterface(IUnknown::kIID, reinterpret_cast<void**>(frame));
}

HRESULT CBrowserWindowService::CloseTab(LONG tab_id) {
  log_->Record("CloseTab", {tab_id});
  return model_->CloseTab(tab_id) == S_OK ? S_OK : S_FALSE;
}

void CBrowserWindowService::Register(LONG frame_id, WORD hotkey,
                                     const std::u16string& extension_id) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    FrameTable& table = accelerators_[frame_id];
    auto [found, added] = table.order_of.try_emplace(extension_id, next_order_);
    if (!added) {
      table.by_order.erase(found->second);
      found->second = next_order_;
    }
    table.by_order.emplace(next_order_++, Entry{hotkey, extension_id});
  }
  log_->Record("RegisterAccelerator", {frame_id, static_cast<int>(hotkey), extension_id});
}

std::vector<std::u16string> CBrowserWindowService::Registered(LONG frame_id, WORD hotkey) const {
  std::vector<std::u16string> ids;
  std::lock_guard<std::mutex> hold(lock_);
  auto it = accelerators_.find(frame_id);
  if (it == accelerators_.end()) return ids;
  for (const auto& [order, e] : it->second.by_order) {
    if (e.hotkey == hotkey) ids.push_back(e.extension_id);
  }
  return ids;
}

bool CBrowserWindowService::Press(std::u16string_view keys) {
  uint16_t hotkey = 0;
  if (!Logic::ParseAccelerator(keys, &hotkey)) return false;
  std::u16string owner;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [frame_id, table] : accelerators_) {
      for (const auto& [order, e] : table.by_order) {
        if (e.hotkey == hotkey && owner.empty()) owner = e.extension_id;
      }
    }
  }
  ComPtr<Logic::IExtensionNotifyMgr> notify;
  if (owner.empty() ||
      FAILED(Util::Com::GetService(Logic::IExtensionNotifyMgr::kIID,
                                   reinterpret_cast<void**>(notify.ReleaseAndGetAddressOf()))) ||
      !notify) {
    return false;
  }
  halcy::ScopedBstr id(owner), no_arguments(u"");
  return SUCCEEDED(notify->NotifyAccelerator(id.Get(), no_arguments.Get()));
}

}  // namespace host
