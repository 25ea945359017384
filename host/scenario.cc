#include "host/scenario.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "command/extension_context_menu_mgr.h"
#include "extension/extension_mgr.h"
#include "host/browser_model.h"
#include "host/browser_window_service.h"
#include "host/browser_thread.h"
#include "host/ext_windows.h"
#include "host/host_services.h"
#include "host/outstanding_work.h"
#include "host/ui_ext_points.h"
#include "ipc/ipc_message.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/wininet.h"
#include "thread/thread_service.h"
#include "update/extension_app_guild.h"

namespace host {
namespace {

using Logic::CJsonValue;

// Long enough for any scenario's work to drain; a run that never goes idle is broken.
constexpr auto kIdleLimit = std::chrono::seconds(30);
// How long a "wait" waits for HTTP requests, downloads and programs to end.
constexpr auto kWorkLimit = std::chrono::seconds(60);

// A message type of no meaning to the extension process, sent synchronously to learn that it
// has handled everything before it.
constexpr uint32_t kSettleMessageType = 0x07000000;

// One line's object and the reason it was refused, if it was.
class OpLine {
 public:
  explicit OpLine(const CJsonValue::Object& members) : members_(members) {}

  bool Number(std::u16string_view key, LONG* out) {
    const CJsonValue* v = Find(key);
    if (!v || !v->IsNumber() || v->GetNumber() != std::trunc(v->GetNumber()) ||
        std::fabs(v->GetNumber()) > 2147483647.0) {
      return Fail(key, "an integer");
    }
    *out = static_cast<LONG>(v->GetNumber());
    return true;
  }
  bool Text(std::u16string_view key, std::u16string* out) {
    const CJsonValue* v = Find(key);
    if (!v || !v->IsString()) return Fail(key, "a string");
    *out = v->GetString();
    return true;
  }
  bool Flag(std::u16string_view key, bool* out) {
    const CJsonValue* v = Find(key);
    if (!v || v->type() != Logic::kJsonBool) return Fail(key, "true or false");
    *out = v->GetBool();
    return true;
  }
  // Any JSON value as its text; a string as the raw text when `raw_string`.
  bool ValueText(std::u16string_view key, bool raw_string, std::u16string* out) {
    const CJsonValue* v = Find(key);
    if (!v) return Fail(key, "a value");
    *out = raw_string && v->IsString() ? v->GetString() : Logic::ToJsonString(*v);
    return true;
  }
  bool Refuse(std::string why) {
    error_ = std::move(why);
    return false;
  }
  const std::string& error() const { return error_; }

 private:
  const CJsonValue* Find(std::u16string_view key) const {
    auto it = members_.find(key);
    return it == members_.end() ? nullptr : it->second.get();
  }
  bool Fail(std::u16string_view key, const char* what) {
    return Refuse("\"" + halcy::Utf16ToUtf8(key) + "\" must be " + what);
  }

  const CJsonValue::Object& members_;
  std::string error_;
};

struct Player {
  CHostServices* services;
  Logic::IExtensionMgr* mgr;

  // Runs `fn` (returning the model's HRESULT) on the UI thread, where the browser changes it.
  bool OnUi(OpLine* line, const std::function<HRESULT()>& fn) {
    HRESULT hr = E_FAIL;
    if (!services->RunOnThread(Thread::kThreadUI, [&] { hr = fn(); })) {
      return line->Refuse("the UI thread is gone");
    }
    if (FAILED(hr)) return line->Refuse("the browser model refused it (unknown or duplicate id)");
    return true;
  }
  CBrowserModel* model() const { return services->browser_model(); }
  static bool Sent(OpLine* line, HRESULT hr) {
    return SUCCEEDED(hr) || line->Refuse("the extension manager refused it");
  }
};

using OpHandler = bool (*)(Player*, OpLine*);

bool PlayFrame(Player* p, OpLine* l) {
  LONG id = 0;
  return l->Number(u"id", &id) && p->OnUi(l, [&] { return p->model()->AddFrame(id); });
}
bool PlayTab(Player* p, OpLine* l) {
  LONG frame = 0, id = 0;
  std::u16string url, title;
  return l->Number(u"frame", &frame) && l->Number(u"id", &id) && l->Text(u"url", &url) &&
         l->Text(u"title", &title) &&
         p->OnUi(l, [&] { return p->model()->AddTab(frame, id, url, title); });
}
bool PlayNavigate(Player* p, OpLine* l) {
  LONG tab = 0;
  std::u16string url;
  return l->Number(u"tab", &tab) && l->Text(u"url", &url) &&
         p->OnUi(l, [&] { return p->model()->Navigate(tab, url); });
}
bool PlayActivate(Player* p, OpLine* l) {
  LONG tab = 0;
  return l->Number(u"tab", &tab) && p->OnUi(l, [&] { return p->model()->Activate(tab); });
}
bool PlayClose(Player* p, OpLine* l) {
  LONG tab = 0;
  return l->Number(u"tab", &tab) && p->OnUi(l, [&] { return p->model()->CloseTab(tab); });
}
bool PlayFullScreen(Player* p, OpLine* l) {
  LONG frame = 0;
  bool on = false;
  return l->Number(u"frame", &frame) && l->Flag(u"on", &on) &&
         p->OnUi(l, [&] { return p->model()->SetFullScreen(frame, on); });
}
bool PlayLogin(Player* p, OpLine* l) {
  CBrowserModel::User user;
  bool first = false;
  return l->Text(u"userid", &user.user_id) && l->Text(u"user", &user.user_name) &&
         l->Text(u"cookie", &user.cookie) && l->Flag(u"first", &first) && p->OnUi(l, [&] {
           p->model()->Login(user, first);
           return S_OK;
         });
}
bool PlayLogout(Player* p, OpLine* l) {
  return p->OnUi(l, [&] {
    p->model()->Logout();
    return S_OK;
  });
}
bool PlaySwitchUser(Player* p, OpLine* l) {
  std::u16string old_user, new_user;
  return l->Text(u"old", &old_user) && l->Text(u"new", &new_user) && p->OnUi(l, [&] {
    p->model()->SwitchUser(old_user, new_user);
    return S_OK;
  });
}
bool PlayBackgroundCommand(Player* p, OpLine* l) {
  std::u16string ext, command, args;
  LONG context = 0;
  if (!l->Text(u"ext", &ext) || !l->Text(u"command", &command) ||
      !l->ValueText(u"args", true, &args) || !l->Number(u"context", &context)) {
    return false;
  }
  halcy::ScopedBstr id(ext), name(command), arguments(args);
  return Player::Sent(l, p->mgr->ProcessBPCommand(id.Get(), name.Get(), arguments.Get(), context));
}
bool PlayFrontEndCommand(Player* p, OpLine* l) {
  std::u16string ext, fecmd, text;
  LONG n1 = 0, n2 = 0, n3 = 0;
  if (!l->Text(u"ext", &ext) || !l->ValueText(u"fecmd", false, &fecmd) || !l->Number(u"n1", &n1) ||
      !l->Text(u"s", &text) || !l->Number(u"n2", &n2) || !l->Number(u"n3", &n3)) {
    return false;
  }
  halcy::ScopedBstr id(ext), key(text), command(fecmd);
  return p->OnUi(l, [&] { return p->mgr->RegisterFESinkA(id.Get(), n1, n2, key.Get()); }) &&
         Player::Sent(l, p->mgr->SendToExtension(id.Get(), n1, key.Get(), command.Get(), n2, n3));
}
bool PlayEvent(Player* p, OpLine* l) {
  std::u16string name, payload;
  if (!l->Text(u"name", &name) || !l->Text(u"payload", &payload)) return false;
  halcy::ScopedBstr event(name), text(payload);
  return Player::Sent(l, p->mgr->DispatchNamedEvent(event.Get(), text.Get()));
}
// Until every browser thread is idle and the extension process has handled what it was sent.
// A synchronous message to that process returns once it has handled everything sent before it
// (it answers every synchronous message, and prints none below the load message); two rounds
// let a library's request and the answer it gets back both through. Without an extension
// process the message is dropped at once.
bool Settle(Player* p) {
  // Messages for an extension process that is not on its channel yet are queued, and so would
  // be the synchronous messages below, which then prove nothing: its arrival is awaited first
  // (no wait when it ended or was never started).
  ComPtr<Logic::IExtensionProcessProbe> probe;
  p->mgr->QueryInterface(Logic::IExtensionProcessProbe::kIID, probe.ReleaseAndGetVoidAddress());
  if (probe) probe->WaitForExtensionProcess(static_cast<LONG>(kIdleLimit.count() * 1000));
  for (int round = 0; round < 2; ++round) {
    if (!p->services->WaitIdle(kIdleLimit)) return false;
    p->mgr->SendToDllHost(new IPC::CMessage(true, kSettleMessageType));
  }
  return p->services->WaitIdle(kIdleLimit);
}

// Every piece of work begun so far, in WinINet and in the host's own workers: unchanged over a
// round means that nothing new began in it.
uint64_t WorkStarted() { return halcy::GetInternetActivity().started + OutstandingWork().started; }
bool WorkOutstanding() { return halcy::GetInternetActivity().busy || !OutstandingWork().idle(); }

// Until no HTTP request, download or program is outstanding and every thread has settled, at
// most kWorkLimit. A round waits for the work, then for the threads (which the work's reports
// reach); it is the last when no work is outstanding after it and none began during it.
bool SettleWork(Player* p) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kWorkLimit;
  for (;;) {
    const uint64_t started = WorkStarted();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !halcy::WaitForInternetIdle(static_cast<DWORD>(left.count())) ||
        !WaitForNoOutstandingWork(deadline) || !Settle(p)) {
      return false;
    }
    if (!WorkOutstanding() && WorkStarted() == started) return true;
  }
}

bool PlayWait(Player* p, OpLine* l) {
  return SettleWork(p) || l->Refuse("the threads did not become idle");
}

bool PlayGuide(Player* p, OpLine* l) {
  std::u16string id, url;
  if (!l->Text(u"id", &id) || !l->Text(u"url", &url)) return false;
  ComPtr<Logic::IExtensionAppGuild> guide;
  if (FAILED(p->mgr->GetExtensionAppGuild(guide.ReleaseAndGetAddressOf())) || !guide) {
    return l->Refuse("the extension manager has no install guide");
  }
  halcy::ScopedBstr extension_id(id), address(url);
  const HRESULT hr = guide->InstallByExId(extension_id.Get(), address.Get());
  if (hr == E_UNEXPECTED) {
    return l->Refuse(
        "the install guide is not at work (the browser has no extensionMgrConfig.ini)");
  }
  return Player::Sent(l, hr);
}

// The point of a click line: a manifest key or a point identifier.
bool PointOf(OpLine* l, std::u16string* identifier) {
  std::u16string point;
  if (!l->Text(u"point", &point)) return false;
  *identifier = CUIExtPtMgr::PointIdentifier(point);
  return !identifier->empty() || l->Refuse("\"point\" names no extension point");
}
bool PlayClick(Player* p, OpLine* l) {
  std::u16string ext, point, url, button;
  LONG tab = 0, frame = 0;
  bool left = false;
  return l->Text(u"ext", &ext) && PointOf(l, &point) && l->Text(u"url", &url) &&
         l->Number(u"tab", &tab) && l->Number(u"frame", &frame) && l->Flag(u"left", &left) &&
         l->Text(u"button", &button) && p->OnUi(l, [&] {
           // The listener's answer is the module's business (an unknown extension is no error).
           p->services->ui_points()->Click(ext, point, url, tab, frame, left, button);
           return S_OK;
         });
}
bool PlayMenuClick(Player* p, OpLine* l) {
  std::u16string ext, point;
  LONG frame = 0, menu = 0;
  return l->Text(u"ext", &ext) && PointOf(l, &point) && l->Number(u"frame", &frame) &&
         l->Number(u"menu", &menu) && p->OnUi(l, [&] {
           p->services->ui_points()->MenuClick(ext, point, frame, menu);
           return S_OK;
         });
}
bool PlayKey(Player* p, OpLine* l) {
  std::u16string keys;
  return l->Text(u"keys", &keys) && p->OnUi(l, [&] {
    // Keys that no extension registered are the browser's own: nothing to deliver.
    p->services->browser_windows()->Press(keys);
    return S_OK;
  });
}

// The popup menu shown last is picked, on the UI thread where the browser's menus live.
bool PlaySelectMenu(Player* p, OpLine* l) {
  LONG menu = 0, event = 0;
  if (!l->Number(u"menu", &menu) || !l->Number(u"event", &event)) return false;
  bool selected = false;
  if (!p->services->RunOnThread(Thread::kThreadUI, [&] {
        selected = p->services->menus()->SelectLastShown(menu, event);
      })) {
    return l->Refuse("the UI thread is gone");
  }
  return selected || l->Refuse("no menu was shown");
}

ComPtr<Logic::IExtensionContextMenuMgr> ContextMenuMgr() {
  ComPtr<Logic::IExtensionContextMenuMgr> menus;
  Util::Com::GetService(Logic::IExtensionContextMenuMgr::kIID, menus.ReleaseAndGetVoidAddress());
  return menus;
}

// Printed on the UI thread, after the refreshes already posted there.
bool PlayContextMenu(Player* p, OpLine* l) {
  ComPtr<Logic::IExtensionContextMenuMgr> menus = ContextMenuMgr();
  if (!menus) return l->Refuse("there is no context menu manager");
  return p->OnUi(l, [&] {
    halcy::ScopedBstr json;
    const HRESULT hr = menus->GetMenuJson(json.Receive());
    if (SUCCEEDED(hr)) CUiCallLog::StdoutWriter()(CContextMenuPrinter::Line(json.View()));
    return hr;
  });
}

// The browser's context-menu code listens on the UI thread for the rest of the run.
void ListenToContextMenus(CHostServices* services) {
  ComPtr<Logic::IExtensionContextMenuMgr> menus = ContextMenuMgr();
  CBrowserThread* ui = services->thread(Thread::kThreadUI);
  if (!menus || !ui) return;
  ULONG id = 0;
  menus->NextListenerId(&id);
  ComPtr<CContextMenuPrinter> printer =
      halcy::MakeComObject<CContextMenuPrinter>(CUiCallLog::StdoutWriter());
  if (printer) menus->AddListener(id, ui->thread_id(), printer.Get(), 0);
}

constexpr std::pair<std::u16string_view, OpHandler> kOps[] = {
    {u"frame", PlayFrame},
    {u"tab", PlayTab},
    {u"navigate", PlayNavigate},
    {u"activate", PlayActivate},
    {u"close", PlayClose},
    {u"fullscreen", PlayFullScreen},
    {u"login", PlayLogin},
    {u"logout", PlayLogout},
    {u"switchuser", PlaySwitchUser},
    {u"bp", PlayBackgroundCommand},
    {u"fe", PlayFrontEndCommand},
    {u"event", PlayEvent},
    {u"wait", PlayWait},
    {u"guide", PlayGuide},
    {u"click", PlayClick},
    {u"menuclick", PlayMenuClick},
    {u"key", PlayKey},
    {u"selectmenu", PlaySelectMenu},
    {u"contextmenu", PlayContextMenu},
};

// Plays one non-blank line; returns the reason it was refused, empty when it was played.
std::string PlayLine(Player* player, const std::string& text) {
  std::unique_ptr<CJsonValue> value = Logic::ParseJsonUtf8(text);
  if (!value || !value->IsObject()) return "not a JSON object";
  const CJsonValue::Object& members = value->GetObject();
  auto op = members.find(std::u16string_view(u"op"));
  if (op == members.end() || !op->second->IsString()) return "no \"op\" string";
  for (const auto& [name, handler] : kOps) {
    if (name != op->second->GetString()) continue;
    OpLine line(members);
    return handler(player, &line) ? std::string() : line.error();
  }
  return "unknown op \"" + halcy::Utf16ToUtf8(op->second->GetString()) + "\"";
}

}  // namespace

int PlayScenario(CHostServices* services, Logic::IExtensionMgr* mgr, std::istream& in) {
  Player player{services, mgr};
  ListenToContextMenus(services);
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string error = PlayLine(&player, text);
    if (!error.empty()) {
      std::fprintf(stderr, "plexore-host: scenario line %d: %s\n", number, error.c_str());
      services->WaitIdle(kIdleLimit);  // what was already sent is still printed
      return 2;
    }
  }
  if (!Settle(&player)) {
    std::fprintf(stderr, "plexore-host: the threads did not become idle after the scenario\n");
    return 1;
  }
  return 0;
}

}  // namespace host
