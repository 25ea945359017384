#include "host/browser_model.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "command/extension_notify_mgr.h"
#include "common/json_escape.h"
#include "extension/extension_mgr.h"
#include "host/page_snapshot.h"
#include "host/popup_frames.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/windows.h"

namespace host {
namespace {

using Logic::IBrowserFrame;
using Logic::IBrowserTab;
using Logic::IBrowserTabContainer;
using Notice = std::function<void(Logic::IExtensionNotifyMgr*)>;

// Makes the notification-manager calls collected under the lock, once it is released.
void Raise(const std::vector<Notice>& notices) {
  if (notices.empty()) return;
  ComPtr<Logic::IExtensionNotifyMgr> notify;
  Util::Com::GetService(Logic::IExtensionNotifyMgr::kIID, notify.ReleaseAndGetVoidAddress());
  if (!notify) return;  // no notification manager: the browser raises nothing
  for (const Notice& notice : notices) notice(notify.Get());
}

// A BSTR for one call (the notification manager only reads it).
struct Arg {
  explicit Arg(const std::u16string& text) : bstr(text) {}
  operator BSTR() const { return bstr.Get(); }
  halcy::ScopedBstr bstr;
};

// A new item object of class T, handed out as interface I.
template <class T, class I, class... A>
HRESULT NewItem(I** out, A... args) {
  ComPtr<T> object = halcy::MakeComObject<T>(args...);
  if (!object) return E_OUTOFMEMORY;
  return object->QueryInterface(I::kIID, reinterpret_cast<void**>(out));
}

}  // namespace

// One object per tab while anyone holds it (CBrowserModel::GetTabPage), so that the module can
// tell pages apart by identity; it leaves the model's table as it goes.
class CModelPage : public halcy::ComObjectRoot,
                   public Logic::IBrowserPage,
                   public Logic::IPageContent,
                   public Logic::IPageSnapshotEvents {
 public:
  HALCY_BEGIN_INTERFACES(CModelPage)
  HALCY_INTERFACE(CModelPage, Logic::IBrowserPage)
  HALCY_INTERFACE(CModelPage, Logic::IPageContent)
  HALCY_INTERFACE(CModelPage, Logic::IPageSnapshotEvents)
  HALCY_END_INTERFACES()

  CModelPage(CBrowserModel* model, LONG tab_id)
      : model_(model),
        tab_id_(tab_id),
        snapshots_([model = model_, tab_id]() -> std::optional<CPageSnapshotter::PageText> {
          auto tab = model->Tab(tab_id);
          if (!tab) return std::nullopt;
          return CPageSnapshotter::PageText{tab->title, tab->url};
        }) {}

  void FinalRelease() { model_->ForgetTabPage(tab_id_, this); }
  // A new reference unless the last one is already gone (the page is then being destroyed).
  bool TryAddRef() {
    ULONG count = ref_count_.load();
    while (count != 0) {
      if (ref_count_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
  }

  HRESULT CountImages(BSTR extension_id) override {
    return model_->CountImages(tab_id_, extension_id ? extension_id : u"");
  }
  HRESULT ShowSource(BSTR extension_id, BSTR arguments) override {
    return Record("ShowSource", {extension_id, arguments});
  }
  HRESULT SaveAllImages() override { return Record("SaveAllImages", {}); }
  HRESULT SaveOneImage(LONG left, LONG top, LONG right, LONG bottom, LONG width,
                       LONG height) override {
    return Record("SaveOneImage", {left, top, right, bottom, width, height});
  }
  HRESULT RunScript(BSTR script) override { return Record("RunScript", {script}); }
  HRESULT PageCall(BSTR command, BSTR extension_id, BSTR arguments) override {
    return Record("PageCall", {command, extension_id, arguments});
  }
  HRESULT GetElementInfoByPoint(BSTR command, BSTR extension_id, BSTR arguments,
                                LONG request_context) override {
    return Record("GetElementInfoByPoint", {command, extension_id, arguments, request_context});
  }
  HRESULT GetInfoText(BSTR* text) override {
    if (!text) return E_POINTER;
    *text = nullptr;
    auto tab = model_->Tab(tab_id_);
    if (!tab) return E_FAIL;
    // The page describes itself by its title and address.
    return halcy::CopyToBstr(u"{\"title\":\"" + Logic::EscapeJsonText(tab->title) +
                                 u"\",\"url\":\"" + Logic::EscapeJsonText(tab->url) + u"\"}",
                             text);
  }

  // --- IPageContent ---
  HRESULT StartSnapshot(LONG value, BSTR target) override {
    HRESULT hr = Record("StartSnapshot", {value, target});
    return FAILED(hr) ? hr : snapshots_.Start(target ? target : u"");
  }
  HRESULT GetMediaInfo(BSTR* json_text) override {
    auto tab = model_->Tab(tab_id_);
    return tab ? halcy::CopyToBstr(tab->media_info, json_text) : E_FAIL;
  }
  HRESULT SetAttributeByCustomId(BSTR custom_id, BSTR attribute, BSTR value) override {
    return Record("SetAttributeByCustomId", {custom_id, attribute, value});
  }
  HRESULT EvaluateScriptForImage(BSTR custom_id, BSTR code) override {
    return Record("EvaluateScriptForImage", {custom_id, code});
  }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT ReservedSlot11() override { return E_NOTIMPL; }
  HRESULT ReservedSlot12() override { return E_NOTIMPL; }
  HRESULT ReservedSlot13() override { return E_NOTIMPL; }
  HRESULT ReservedSlot14() override { return E_NOTIMPL; }
  HRESULT ReservedSlot15() override { return E_NOTIMPL; }
  HRESULT ReservedSlot16() override { return E_NOTIMPL; }
  HRESULT ReservedSlot17() override { return E_NOTIMPL; }
  HRESULT ReservedSlot18() override { return E_NOTIMPL; }
  HRESULT ReservedSlot19() override { return E_NOTIMPL; }
  HRESULT ReservedSlot20() override { return E_NOTIMPL; }
  HRESULT OnExtensionMenuShown() override { return Record("OnExtensionMenuShown", {}); }

  // --- IPageSnapshotEvents ---
  HRESULT SetSnapshotSink(Logic::IPageSnapshotSink* sink) override {
    snapshots_.SetSink(sink);
    return S_OK;
  }

 private:
  // Records the call with the tab's id first; E_FAIL once the tab is closed.
  HRESULT Record(std::string_view call, const std::vector<UiArg>& args) {
    if (!model_->Tab(tab_id_)) return E_FAIL;
    std::vector<UiArg> all{UiArg(tab_id_)};
    all.insert(all.end(), args.begin(), args.end());
    model_->ui_log()->Record(call, all);
    return S_OK;
  }

  const ComPtr<CBrowserModel> model_;
  const LONG tab_id_;
  CPageSnapshotter snapshots_;
};

namespace {

class CModelTab : public halcy::ComObjectRoot, public IBrowserTab {
 public:
  HALCY_BEGIN_INTERFACES(CModelTab)
  HALCY_INTERFACE(CModelTab, IBrowserTab)
  HALCY_END_INTERFACES()

  CModelTab(CBrowserModel* model, LONG tab_id) : model_(model), tab_id_(tab_id) {}

  HRESULT GetTabId(LONG* tab_id) override { return Read(tab_id, &CBrowserModel::TabState::id); }
  HRESULT GetFrameId(LONG* frame_id) override {
    return Read(frame_id, &CBrowserModel::TabState::frame_id);
  }
  HRESULT GetUrl(BSTR* url) override { return ReadText(url, &CBrowserModel::TabState::url); }
  HRESULT GetTitle(BSTR* title) override {
    return ReadText(title, &CBrowserModel::TabState::title);
  }
  HRESULT GetFavicon(BSTR* url) override {
    return ReadText(url, &CBrowserModel::TabState::favicon);
  }
  HRESULT GetPage(IUnknown** page) override {
    if (!page) return E_POINTER;
    *page = nullptr;
    if (!model_->Tab(tab_id_)) return E_FAIL;
    return model_->GetTabPage(tab_id_, page);
  }
  HRESULT HasMedia(BOOL* has_media) override {
    return Read(has_media, &CBrowserModel::TabState::has_media);
  }
  HRESULT GetMediaEmptyFlag(BOOL* empty) override {
    return Read(empty, &CBrowserModel::TabState::media_empty);
  }

 private:
  template <class Out, class Field>
  HRESULT Read(Out* out, Field CBrowserModel::TabState::*field) {
    if (!out) return E_POINTER;
    auto tab = model_->Tab(tab_id_);
    if (!tab) return E_FAIL;  // closed meanwhile
    *out = static_cast<Out>((*tab).*field);
    return S_OK;
  }
  HRESULT ReadText(BSTR* out, std::u16string CBrowserModel::TabState::*field) {
    auto tab = model_->Tab(tab_id_);
    if (!tab) return E_FAIL;
    return halcy::CopyToBstr((*tab).*field, out);
  }

  const ComPtr<CBrowserModel> model_;
  const LONG tab_id_;
};

class CModelTabContainer : public halcy::ComObjectRoot, public IBrowserTabContainer {
 public:
  HALCY_BEGIN_INTERFACES(CModelTabContainer)
  HALCY_INTERFACE(CModelTabContainer, IBrowserTabContainer)
  HALCY_END_INTERFACES()

  CModelTabContainer(CBrowserModel* model, LONG frame_id) : model_(model), frame_id_(frame_id) {}

  HRESULT GetTabCount(LONG* count) override {
    if (!count) return E_POINTER;
    auto frame = model_->Frame(frame_id_);
    if (!frame) return E_FAIL;
    *count = static_cast<LONG>(frame->tabs.size());
    return S_OK;
  }
  HRESULT GetTab(LONG index, IBrowserTab** tab) override {
    if (!tab) return E_POINTER;
    *tab = nullptr;
    LONG tab_id = -1;
    HRESULT hr = GetTabId(index, &tab_id);
    if (FAILED(hr)) return hr;
    return NewItem<CModelTab>(tab, model_.Get(), tab_id);
  }
  HRESULT GetTabId(LONG index, LONG* tab_id) override {
    if (!tab_id) return E_POINTER;
    auto frame = model_->Frame(frame_id_);
    if (!frame) return E_FAIL;
    if (index == Logic::kActiveTabIndex) {
      if (frame->active_tab == -1) return E_FAIL;
      *tab_id = frame->active_tab;
      return S_OK;
    }
    if (index < 0 || static_cast<size_t>(index) >= frame->tabs.size()) return E_INVALIDARG;
    *tab_id = frame->tabs[index];
    return S_OK;
  }

 private:
  const ComPtr<CBrowserModel> model_;
  const LONG frame_id_;
};

class CModelFrame : public halcy::ComObjectRoot,
                    public IBrowserFrame,
                    public Logic::IBrowserMainWindow {
 public:
  HALCY_BEGIN_INTERFACES(CModelFrame)
  HALCY_INTERFACE(CModelFrame, IBrowserFrame)
  HALCY_INTERFACE(CModelFrame, Logic::IBrowserMainWindow)
  HALCY_END_INTERFACES()

  HRESULT SetWindowMode(LONG mode) override {
    if (!model_->Frame(frame_id_)) return E_FAIL;
    model_->ui_log()->Record("SetWindowMode", {frame_id_, mode});
    return S_OK;
  }

  CModelFrame(CBrowserModel* model, LONG frame_id) : model_(model), frame_id_(frame_id) {}

  HRESULT GetFrameId(LONG* frame_id) override {
    if (!frame_id) return E_POINTER;
    if (!model_->Frame(frame_id_)) return E_FAIL;
    *frame_id = frame_id_;
    return S_OK;
  }
  HRESULT GetWindowHandle(HANDLE* window) override {
    if (!window) return E_POINTER;
    auto frame = model_->Frame(frame_id_);
    if (!frame) return E_FAIL;
    *window = frame->window;
    return S_OK;
  }
  HRESULT GetTabContainer(IBrowserTabContainer** container) override {
    if (!container) return E_POINTER;
    *container = nullptr;
    if (!model_->Frame(frame_id_)) return E_FAIL;
    return NewItem<CModelTabContainer>(container, model_.Get(), frame_id_);
  }
  HRESULT IsFullScreen(BOOL* full_screen) override {
    if (!full_screen) return E_POINTER;
    auto frame = model_->Frame(frame_id_);
    if (!frame) return E_FAIL;
    *full_screen = frame->full_screen ? TRUE : FALSE;
    return S_OK;
  }
  HRESULT ActivateTab(LONG tab_id) override {
    auto tab = model_->Tab(tab_id);
    if (!tab || tab->frame_id != frame_id_) return E_INVALIDARG;
    return model_->Activate(tab_id);
  }
  HRESULT OpenUrl(BSTR url, LONG arg1, LONG arg2, LONG arg3, LONG arg4, LONG arg5,
                  LONG* tab_id) override {
    if (!tab_id) return E_POINTER;
    if (!model_->Frame(frame_id_)) return E_FAIL;
    model_->ui_log()->Record("OpenUrl", {frame_id_, url, arg1, arg2, arg3, arg4, arg5});
    return model_->OpenTab(frame_id_, url ? url : u"", tab_id);
  }

 private:
  const ComPtr<CBrowserModel> model_;
  const LONG frame_id_;
};

HRESULT NewFrame(CBrowserModel* model, LONG frame_id, IBrowserFrame** frame) {
  return NewItem<CModelFrame>(frame, model, frame_id);
}

}  // namespace

// --- Scripting ---

HRESULT CBrowserModel::AddFrame(LONG frame_id) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (FindFrame(frame_id)) return E_INVALIDARG;
    FrameState frame;
    frame.id = frame_id;
    frame.window = CreateStandInWindow(window_thread_, true);
    frames_.push_back(std::move(frame));
  }
  Raise({[frame_id](Logic::IExtensionNotifyMgr* n) { n->NotifyFrameCreate(frame_id); }});
  return S_OK;
}

HRESULT CBrowserModel::CloseFrame(LONG frame_id) {
  std::vector<Notice> notices;
  {
    std::lock_guard<std::mutex> hold(lock_);
    FrameState* frame = FindFrame(frame_id);
    if (!frame) return E_INVALIDARG;
    for (LONG tab_id : frame->tabs) {
      TabState tab = tabs_[tab_id];
      tabs_.erase(tab_id);
      notices.push_back([tab](Logic::IExtensionNotifyMgr* n) {
        n->NotifyCloseTab(tab.id, tab.frame_id, Arg(tab.url), 0);
      });
    }
    DestroyWindow(frame->window);
    frames_.erase(frames_.begin() + (frame - frames_.data()));
  }
  notices.push_back([frame_id](Logic::IExtensionNotifyMgr* n) { n->NotifyFrameClose(frame_id); });
  Raise(notices);
  return S_OK;
}

HRESULT CBrowserModel::AddTab(LONG frame_id, LONG tab_id, const std::u16string& url,
                              const std::u16string& title) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    FrameState* frame = FindFrame(frame_id);
    if (!frame || tabs_.count(tab_id)) return E_INVALIDARG;
    TabState tab;
    tab.id = tab_id;
    tab.frame_id = frame_id;
    tab.url = url;
    tab.title = title;
    tabs_[tab_id] = std::move(tab);
    frame->tabs.push_back(tab_id);
    if (frame->active_tab == -1) frame->active_tab = tab_id;
  }
  Raise({[tab_id, frame_id](Logic::IExtensionNotifyMgr* n) { n->NotifyAddTab(tab_id, frame_id); }});
  return S_OK;
}

HRESULT CBrowserModel::Navigate(LONG tab_id, const std::u16string& url) {
  std::u16string old_url;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = tabs_.find(tab_id);
    if (it == tabs_.end()) return E_INVALIDARG;
    old_url = std::exchange(it->second.url, url);
  }
  Raise({[=](Logic::IExtensionNotifyMgr* n) { n->NotifyUrlChange(Arg(old_url), Arg(url), tab_id); },
         [=](Logic::IExtensionNotifyMgr* n) { n->NotifyDocumentComplete(tab_id, Arg(url)); }});
  return S_OK;
}

void CBrowserModel::SetUiCallLog(std::shared_ptr<CUiCallLog> log) {
  std::lock_guard<std::mutex> hold(lock_);
  ui_log_ = std::move(log);
}

std::shared_ptr<CUiCallLog> CBrowserModel::ui_log() const {
  std::lock_guard<std::mutex> hold(lock_);
  return ui_log_;
}

HRESULT CBrowserModel::OpenTab(LONG frame_id, const std::u16string& url, LONG* tab_id) {
  LONG id = 1;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!tabs_.empty()) id = tabs_.rbegin()->first + 1;
  }
  // A scripted AddTab racing for the same id makes this one fail rather than reuse it.
  HRESULT hr = AddTab(frame_id, id, url, u"");
  if (SUCCEEDED(hr)) hr = Activate(id);
  if (FAILED(hr)) return hr;
  *tab_id = id;
  return S_OK;
}

HRESULT CBrowserModel::Activate(LONG tab_id) {
  TabState old_tab;
  TabState new_tab;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = tabs_.find(tab_id);
    if (it == tabs_.end()) return E_INVALIDARG;
    FrameState* frame = FindFrame(it->second.frame_id);
    if (frame->active_tab == tab_id) return S_FALSE;
    if (frame->active_tab != -1) old_tab = tabs_[frame->active_tab];
    frame->active_tab = tab_id;
    new_tab = it->second;
  }
  Raise({[=](Logic::IExtensionNotifyMgr* n) {
    n->NotifySwitchTab(old_tab.id, Arg(old_tab.url), new_tab.id, Arg(new_tab.url), 0);
  }});
  return S_OK;
}

HRESULT CBrowserModel::CloseTab(LONG tab_id) {
  TabState closed;
  std::optional<TabState> next;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = tabs_.find(tab_id);
    if (it == tabs_.end()) return E_INVALIDARG;
    closed = it->second;
    tabs_.erase(it);
    FrameState* frame = FindFrame(closed.frame_id);
    auto pos = std::find(frame->tabs.begin(), frame->tabs.end(), tab_id);
    size_t index = pos - frame->tabs.begin();
    frame->tabs.erase(pos);
    if (frame->active_tab == tab_id) {
      frame->active_tab = -1;
      if (!frame->tabs.empty()) {
        frame->active_tab = frame->tabs[std::min(index, frame->tabs.size() - 1)];
        next = tabs_[frame->active_tab];
      }
    }
  }
  std::vector<Notice> notices = {[closed](Logic::IExtensionNotifyMgr* n) {
    n->NotifyCloseTab(closed.id, closed.frame_id, Arg(closed.url), 0);
  }};
  if (next) {
    notices.push_back([closed, next](Logic::IExtensionNotifyMgr* n) {
      n->NotifySwitchTab(closed.id, Arg(closed.url), next->id, Arg(next->url), 0);
    });
  }
  Raise(notices);
  return S_OK;
}

HRESULT CBrowserModel::SetFullScreen(LONG frame_id, bool full_screen) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    FrameState* frame = FindFrame(frame_id);
    if (!frame) return E_INVALIDARG;
    if (frame->full_screen == full_screen) return S_FALSE;
    frame->full_screen = full_screen;
  }
  Raise({[=](Logic::IExtensionNotifyMgr* n) {
    n->NotifyFrameFullScreen(frame_id, full_screen ? 1 : 0);
  }});
  return S_OK;
}

HRESULT CBrowserModel::SetTitle(LONG tab_id, const std::u16string& title) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return E_INVALIDARG;
  it->second.title = title;
  return S_OK;
}

HRESULT CBrowserModel::SetFavicon(LONG tab_id, const std::u16string& favicon) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return E_INVALIDARG;
  it->second.favicon = favicon;
  return S_OK;
}

HRESULT CBrowserModel::SetMedia(LONG tab_id, bool has_media, bool empty,
                                const std::u16string& media_info) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return E_INVALIDARG;
  it->second.has_media = has_media;
  it->second.media_empty = empty;
  it->second.media_info = media_info;
  return S_OK;
}

HRESULT CBrowserModel::SetImageCount(LONG tab_id, LONG count) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return E_INVALIDARG;
  it->second.image_count = count;
  return S_OK;
}

void CBrowserModel::Login(const User& user, bool first_login) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    user_ = user;
  }
  Raise({[=](Logic::IExtensionNotifyMgr* n) {
    n->NotifyLogin(Arg(user.user_id), Arg(user.user_name), Arg(user.cookie), first_login ? 1 : 0);
  }});
}

void CBrowserModel::Logout() {
  std::optional<User> user;
  {
    std::lock_guard<std::mutex> hold(lock_);
    user = std::exchange(user_, std::nullopt);
  }
  if (!user) return;
  Raise({[=](Logic::IExtensionNotifyMgr* n) {
    n->NotifyLogout(Arg(user->user_id), Arg(user->user_name));
  }});
}

void CBrowserModel::SwitchUser(const std::u16string& old_user, const std::u16string& new_user) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (user_) user_->user_name = new_user;
  }
  Raise(
      {[=](Logic::IExtensionNotifyMgr* n) { n->NotifySwitchUser(Arg(old_user), Arg(new_user)); }});
}

void CBrowserModel::SetDialogLogin(std::optional<User> user) {
  std::lock_guard<std::mutex> hold(lock_);
  dialog_user_ = std::move(user);
}

// --- Observation ---

int CBrowserModel::login_dialog_shows() const {
  std::lock_guard<std::mutex> hold(lock_);
  return dialog_shows_;
}

HANDLE CBrowserModel::last_dialog_owner() const {
  std::lock_guard<std::mutex> hold(lock_);
  return dialog_owner_;
}

HANDLE CBrowserModel::WindowOf(LONG frame_id) const {
  auto frame = Frame(frame_id);
  return frame ? frame->window : nullptr;
}

std::vector<std::pair<std::u16string, LONG>> CBrowserModel::image_count_requests() const {
  std::lock_guard<std::mutex> hold(lock_);
  return image_requests_;
}

// --- IBrowserFrameMgr ---

HRESULT CBrowserModel::GetItemCount(LONG kind, LONG* count) {
  if (!count) return E_POINTER;
  std::shared_ptr<CPopupFrameTable> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    *count = kind == Logic::kBrowserItemTopLevelFrame ? static_cast<LONG>(frames_.size()) : 0;
    popups = popups_;
  }
  if (kind == Logic::kBrowserItemPopupFrame && popups) *count = popups->Count();
  return S_OK;
}

void CBrowserModel::SetPopupFrames(std::shared_ptr<CPopupFrameTable> popups) {
  std::lock_guard<std::mutex> hold(lock_);
  popups_ = std::move(popups);
}

void CBrowserModel::SetWindowThread(DWORD thread_id) {
  std::lock_guard<std::mutex> hold(lock_);
  window_thread_ = thread_id;
}

// A popup of the table as an IBrowserFrame; S_FALSE and null when there is none.
static HRESULT PopupAsFrame(const ComPtr<CPopupFrame>& popup, IBrowserFrame** frame) {
  if (!popup) return S_FALSE;
  return popup->QueryInterface(IBrowserFrame::kIID, reinterpret_cast<void**>(frame));
}

HRESULT CBrowserModel::GetFrameOfWindow(HANDLE window, IUnknown** frame) {
  if (!frame) return E_POINTER;
  *frame = nullptr;
  LONG frame_id = -1;
  std::shared_ptr<CPopupFrameTable> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const FrameState& state : frames_) {
      if (state.window == window) frame_id = state.id;
    }
    popups = popups_;
  }
  IBrowserFrame* found = nullptr;
  HRESULT hr = frame_id != -1 ? NewFrame(this, frame_id, &found)
               : popups       ? PopupAsFrame(popups->ByWindow(window), &found)
                              : S_FALSE;
  *frame = found;
  return hr;
}

HRESULT CBrowserModel::GetItem(LONG kind, LONG index, IBrowserFrame** frame) {
  if (!frame) return E_POINTER;
  *frame = nullptr;
  LONG frame_id = -1;
  bool found = false;
  std::shared_ptr<CPopupFrameTable> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    popups = popups_;
    if (kind == Logic::kBrowserItemTopLevelFrame && index >= 0 &&
        static_cast<size_t>(index) < frames_.size()) {
      frame_id = frames_[index].id;
      found = true;
    }
  }
  if (kind == Logic::kBrowserItemPopupFrame) {
    // The table is asked without the model's lock.
    return popups && PopupAsFrame(popups->At(index), frame) == S_OK ? S_OK : E_INVALIDARG;
  }
  return found ? NewFrame(this, frame_id, frame) : E_INVALIDARG;
}

HRESULT CBrowserModel::GetItemById(LONG id, LONG kind, IUnknown** item) {
  if (!item) return E_POINTER;
  *item = nullptr;
  if (kind != Logic::kBrowserItemAny || !Tab(id)) return S_FALSE;
  IBrowserTab* tab = nullptr;
  HRESULT hr = NewItem<CModelTab>(&tab, this, id);
  *item = tab;
  return hr;
}

HRESULT CBrowserModel::GetFrameById(LONG frame_id, LONG kind, IBrowserFrame** frame) {
  if (!frame) return E_POINTER;
  *frame = nullptr;
  if (kind != Logic::kBrowserItemTopLevelFrame && kind != Logic::kBrowserItemAny &&
      kind != Logic::kBrowserItemPopupFrame) {
    return S_FALSE;
  }
  if (kind != Logic::kBrowserItemPopupFrame && Frame(frame_id)) {
    return NewFrame(this, frame_id, frame);
  }
  std::shared_ptr<CPopupFrameTable> popups;
  {
    std::lock_guard<std::mutex> hold(lock_);
    popups = popups_;
  }
  if (kind == Logic::kBrowserItemTopLevelFrame || !popups) return S_FALSE;
  return PopupAsFrame(popups->ById(frame_id), frame);
}

// --- ILoginService and ILoginDialog ---

HRESULT CBrowserModel::IsLoggedIn(BOOL* logged_in) {
  if (!logged_in) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *logged_in = user_ ? TRUE : FALSE;
  return S_OK;
}

HRESULT CBrowserModel::GetUserId(BSTR* user_id) {
  std::lock_guard<std::mutex> hold(lock_);
  return halcy::CopyToBstr(user_ ? user_->user_id : u"", user_id);
}

HRESULT CBrowserModel::GetUserName(BSTR* user_name) {
  std::lock_guard<std::mutex> hold(lock_);
  return halcy::CopyToBstr(user_ ? user_->user_name : u"", user_name);
}

HRESULT CBrowserModel::GetCookie(BSTR* cookie) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!user_ || user_->cookie.empty()) return E_FAIL;
  return halcy::CopyToBstr(user_->cookie, cookie);
}

HRESULT CBrowserModel::ShowLoginDialog(HANDLE owner, LONG, LONG, LONG) {
  std::optional<User> user;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++dialog_shows_;
    dialog_owner_ = owner;
    user = dialog_user_;
  }
  if (user) Login(*user, true);
  return S_OK;
}

// --- Item support ---

std::optional<CBrowserModel::TabState> CBrowserModel::Tab(LONG tab_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = tabs_.find(tab_id);
  if (it == tabs_.end()) return std::nullopt;
  return it->second;
}

std::optional<CBrowserModel::FrameState> CBrowserModel::Frame(LONG frame_id) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const FrameState& frame : frames_) {
    if (frame.id == frame_id) return frame;
  }
  return std::nullopt;
}

HRESULT CBrowserModel::CountImages(LONG tab_id, const std::u16string& extension_id) {
  LONG count = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = tabs_.find(tab_id);
    if (it == tabs_.end()) return E_FAIL;
    count = it->second.image_count;
    image_requests_.emplace_back(extension_id, tab_id);
  }
  // The page answers the extension itself, through the extension manager.
  ComPtr<Logic::IExtensionMgr> manager;
  Util::Com::GetService(Logic::IExtensionMgr::kIID, manager.ReleaseAndGetVoidAddress());
  if (!manager) return S_OK;
  std::u16string payload = halcy::StringPrintf(u"{\r\n\"count\":\"%d\"}", count);
  manager->SendToExtensionInternal(Arg(extension_id),
                                   Arg(u"extension.response.utility.getimagecount"), Arg(payload));
  return S_OK;
}

CBrowserModel::FrameState* CBrowserModel::FindFrame(LONG frame_id) {
  for (FrameState& frame : frames_) {
    if (frame.id == frame_id) return &frame;
  }
  return nullptr;
}

HRESULT CBrowserModel::GetTabPage(LONG tab_id, IUnknown** page) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = pages_.find(tab_id);
  if (it != pages_.end() && it->second->TryAddRef()) {
    *page = static_cast<Logic::IBrowserPage*>(it->second);
    return S_OK;
  }
  // None yet, or the one there is on its way out (it leaves the table itself, see below).
  ComPtr<CModelPage> fresh = halcy::MakeComObject<CModelPage>(this, tab_id);
  if (!fresh) return E_OUTOFMEMORY;
  pages_[tab_id] = fresh.Get();
  *page = static_cast<Logic::IBrowserPage*>(fresh.Detach());
  return S_OK;
}

void CBrowserModel::ForgetTabPage(LONG tab_id, const CModelPage* page) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = pages_.find(tab_id);
  if (it != pages_.end() && it->second == page) pages_.erase(it);
}

}  // namespace host
